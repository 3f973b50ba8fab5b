#include <sys/resource.h>

#include "DaylightTable.h"
#include "LogDeviceFile.h"
#include "LogServer.h"
#include "StderrCapture.h"
#include "TlConfigurationGlobal.h"

namespace {

constexpr unsigned kLastSecondOfDec4 = 1796428799;  // 2026-12-04 23:59:59 UTC
const std::string kHead = "1796428799\t2026.12.04-23.59.59\tvigild-7:0\tI\t";

// What device answers to one Info record of the given second.
bool Write(LogDeviceFile& device, const std::string& message, unsigned seconds = kLastSecondOfDec4,
           const char* code = "DL31001") {
  Handle<LogMessage> record(
      new LogMessage(Info, seconds, "vigild-7:0", code, "[T]", message.c_str()));
  return device.ProcessMessage(record, true);
}

std::set<std::string> Names(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    names.insert(entry.path().filename());
  }
  return names;
}

// Local time is pinned nine hours ahead of UTC, so a file named after the
// local day instead of the UTC day shows on every machine: the last second
// of a UTC day is already the next day there.
class LogDeviceFileTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    setenv("TZ", "JST-9", 1);
    DaylightTable::ResetForTest();
  }
  static void TearDownTestSuite() { DaylightTable::ResetForTest(); }
  void TearDown() override {
    LogServer::DeleteInstance();
    TlConfigurationGlobal::DeleteInstance();
  }

  TempDir dir;
  LogDeviceFile device;  // declared after dir: closes its file first
};

TEST_F(LogDeviceFileTest, LongLinesAreCutAndNewlinesBecomeBlanks) {
  ASSERT_TRUE(device.Init(dir.path().c_str(), "debug", 9999));
  // with a code, line length (0: short), long lines allowed, cut
  const std::tuple<bool, size_t, bool, bool> cases[] = {{false, 0, false, false},
                                                        {true, 2047, false, false},
                                                        {true, 2048, false, true},
                                                        {true, 3000, true, false}};
  std::string expected;
  for (const auto& [coded, length, allowLong, cut] : cases) {
    const std::string head = kHead + (coded ? "[DL31001]" : "") + "\t[T]\t";
    const std::string tail(length > 0 ? length - head.size() - 4 : 0, 'x');
    TlConfigurationGlobal::Instance()->AtPutBool("DIAG.LOG.ALLOWLONGLINES", allowLong);
    EXPECT_TRUE(Write(device, "a\nb\n" + tail, kLastSecondOfDec4, coded ? "DL31001" : ""));
    const std::string line = head + "a b " + tail;
    const std::string note = " ... (Truncated from " + std::to_string(length) + ")";
    expected += (cut ? line.substr(0, 2043) + note : line) + "\n";
  }
  EXPECT_EQ(ReadAll(dir.Join("2026.12.04debug.log")), expected);
}

TEST_F(LogDeviceFileTest, RetentionKeepsTheNewestFilesOfThePrefixOnly) {
  const std::vector<std::string> unrelated = {"2026.12.01vg.txt", "2026.12.01x.log", "notes"};
  std::vector<std::string> dated = {"2026.11.28vg.log", "2026.11.29vg.log", "2026.11.30vg.log",
                                    "2026.12.01vg.log", "2026.12.02vg.log"};
  for (const auto& names : {dated, unrelated}) {
    for (const std::string& name : names) {
      dir.WriteFile(name, "");
    }
  }
  dated.push_back("2026.12.04vg.log");  // the file each device opens
  // retention, how many dated files stay (the open one always does)
  for (const auto& [retention, kept] : {std::pair{-1, 6}, {3, 3}, {0, 1}}) {
    LogDeviceFile retaining;
    retaining.Init(dir.path().c_str(), "vg", retention);
    EXPECT_TRUE(Write(retaining, "new day"));
    std::set<std::string> expected(dated.end() - kept, dated.end());
    expected.insert(unrelated.begin(), unrelated.end());
    EXPECT_EQ(Names(dir.path()), expected) << retention;
  }
}

TEST_F(LogDeviceFileTest, EachUtcDayHasItsFileAndAFailedOpenOrWriteIsRetriedByTheNextRecord) {
  StderrCapture errors;          // keeps the failure reports out of the test output
  dir.WriteFile("blocker", "");  // a file where the log directory must go
  const std::string logs = dir.Join("blocker/logs"), full = logs + "/2026.12.05debug.log";
  EXPECT_TRUE(device.Init(logs.c_str(), "debug", 9999));
  EXPECT_FALSE(Write(device, "retried"));
  ASSERT_EQ(unlink(dir.Join("blocker").c_str()), 0);
  EXPECT_TRUE(Write(device, "retried"));
  // The next day's file takes no byte: its write fails.
  struct rlimit saved {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  const struct rlimit none = {0, saved.rlim_max};
  const sighandler_t oldHandler = signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &none), 0);
  EXPECT_FALSE(Write(device, "retried", kLastSecondOfDec4 + 1));
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, oldHandler);
  EXPECT_EQ(device.getCurrentFileName(), "");
  EXPECT_TRUE(Write(device, "retried", kLastSecondOfDec4 + 1));
  EXPECT_EQ(ReadAll(logs + "/2026.12.04debug.log"), kHead + "[DL31001]\t[T]\tretried\n");
  EXPECT_EQ(ReadAll(full),
            "1796428800\t2026.12.05-00.00.00\tvigild-7:0\tI\t[DL31001]\t[T]\tretried\n");
}

// The log directory may be open to other users: whatever they put at the day's
// name is not appended to, and the file is used again once it is the daemon's own.
TEST_F(LogDeviceFileTest, PlantedFileAtTheDaysNameIsRefusedAndRecordsGoToTheConsole) {
  const std::string day = dir.Join("2026.12.04debug.log"), victim = dir.Join("victim");
  dir.WriteFile("victim", "keep me\n");
  // what is planted, and the reason the Error gives
  const std::pair<std::function<bool()>, const char*> kPlanted[] = {
      {[&] { return symlink(victim.c_str(), day.c_str()) == 0; }, "it is a symbolic link"},
      {[&] { return link(victim.c_str(), day.c_str()) == 0; }, "it has other names (hard links)"},
      {[&] { return mkfifo(day.c_str(), 0666) == 0; }, "it is not a regular file"},
      {[&] {
         dir.WriteFile("2026.12.04debug.log", "");
         return chown(day.c_str(), 65534, 65534) == 0;
       },
       "it is owned by uid 65534, not by the daemon's uid 0"}};
  for (const auto& [plant, reason] : kPlanted) {
    SCOPED_TRACE(reason);
    if (geteuid() != 0 && std::string(reason).find("65534") != std::string::npos) {
      continue;  // only root can give a file away
    }
    LogDeviceFile refusing;
    ASSERT_TRUE(refusing.Init(dir.path().c_str(), "debug", 9999));
    ASSERT_TRUE(plant());
    StdoutCapture out;
    StderrCapture errors;
    std::string console;
    for (const char* text : {"first", "second", "third"}) {
      EXPECT_TRUE(Write(refusing, text));
      EXPECT_EQ(refusing.getCurrentFileName(), "");
      console += std::string("[2026/12/05 08:59:59] Warning:[T]\t") + text + "\n";
    }
    EXPECT_TRUE(refusing.Drain(2000));
    EXPECT_EQ(out.Stop(), console);
    const std::string shownErrors = errors.Stop();
    EXPECT_EQ(ReadAll(victim), "keep me\n");
    const std::string error = "FATAL:  GENERIC\t[LogDeviceFile::OpenFileFor] ERROR : log file " +
                              day + " refused: " + reason + "; records go to the console\n";
    // Reported once: its first appearance ends the text.
    EXPECT_EQ(shownErrors.find(error) + error.size(), shownErrors.size()) << shownErrors;
    ASSERT_EQ(unlink(day.c_str()), 0);
    EXPECT_TRUE(Write(refusing, "back"));
    EXPECT_EQ(ReadAll(day), kHead + "[DL31001]\t[T]\tback\n");
    refusing.CloseCurrentFile();
    ASSERT_EQ(unlink(day.c_str()), 0);
  }
}

TEST_F(LogDeviceFileTest, EightQueuedProducersAndAFlusherWriteEveryRecordOnceInOrder) {
  constexpr int kThreads = 8;
  constexpr int kPerThread = 10000;
  TlConfigurationGlobal::Instance()->AtPut("LOGMANAGER.CREATEFILES", "True");
  TlConfigurationGlobal::Instance()->AtPut("LOGMANAGER.LOGDIR", dir.path());
  LogServer* server = LogServer::Instance();
  ASSERT_TRUE(server->initForConfiguration("VIGILD.0.0"));
  ASSERT_TRUE(server->StartProcessingThread());
  std::atomic<bool> producing{true};
  std::thread flusher([&] {
    while (producing.load()) {
      server->Flush();
      std::this_thread::yield();
    }
  });
  std::vector<std::thread> producers;
  for (int t = 0; t < kThreads; ++t) {
    producers.emplace_back([t] {
      for (int n = 0; n < kPerThread; ++n) {
        LogServer::Report(Info, nullptr, "[P] " + std::to_string(t) + " " + std::to_string(n));
      }
    });
  }
  for (std::thread& producer : producers) {
    producer.join();
  }
  producing = false;
  flusher.join();
  LogServer::DeleteInstance();  // drains and closes the file

  std::vector<int> next(kThreads, 0);
  for (const std::string& name : Names(dir.path())) {  // a run may cross midnight
    std::ifstream in(dir.Join(name));
    for (std::string line; std::getline(in, line);) {
      const size_t at = line.find("\t[P]\t");
      int t = -1, n = -1;
      if (at != std::string::npos) {  // else one of the server's own records
        ASSERT_TRUE(sscanf(line.c_str() + at + 5, "%d %d", &t, &n) == 2 && t >= 0 && t < kThreads);
        ASSERT_EQ(n, next[static_cast<size_t>(t)]++) << line;
      }
    }
  }
  EXPECT_EQ(next, std::vector<int>(kThreads, kPerThread));
}

}  // namespace
