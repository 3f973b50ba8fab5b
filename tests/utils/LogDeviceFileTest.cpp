#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <list>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "CapturingLogDevice.h"
#include "Directory.h"
#include "LogDeviceFile.h"
#include "LogServer.h"
#include "StderrCapture.h"
#include "TempDir.h"
#include "TlConfigurationGlobal.h"

namespace {

constexpr unsigned kLastSecondOfDec4 = 1796428799;  // 2026-12-04 23:59:59 UTC
const char kHead[] = "1796428799\t2026.12.04-23.59.59\tvigild-7:0\tI\t";

Handle<LogMessage> Record(unsigned seconds, const char* code, const std::string& message) {
  return Handle<LogMessage>(
      new LogMessage(Info, seconds, "vigild-7:0", code, "[T]", message.c_str()));
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> SortedNames(const std::string& dir) {
  std::list<std::string> names;
  Directory(dir).GetFiles(names, 0);
  std::vector<std::string> sorted(names.begin(), names.end());
  std::sort(sorted.begin(), sorted.end());
  return sorted;
}

class LogDeviceFileTest : public ::testing::Test {
 protected:
  void TearDown() override {
    LogServer::DeleteInstance();
    TlConfigurationGlobal::DeleteInstance();
  }
  std::string DayFile(const char* date) const { return dir.Join(std::string(date) + "debug.log"); }
  // A server in synchronous mode that logs to files in dir (prefix "vigild")
  // behind a capturing console device.
  LogServer* FileServer(std::shared_ptr<CapturingLogDevice::Log>& console) {
    TlConfigurationGlobal::Instance()->AtPut("LOGMANAGER.CREATEFILES", "True");
    TlConfigurationGlobal::Instance()->AtPut("LOGMANAGER.LOGDIR", dir.path());
    TlConfigurationGlobal::Instance()->AtPut("LOGMANAGER.FILEPREFIX", "vigild");
    LogServer* server = LogServer::Instance();
    console = CapturingLogDevice::Install(server);
    EXPECT_TRUE(server->initForConfiguration("VIGILD.0.0"));
    return server;
  }

  TempDir dir;
  LogDeviceFile device;  // declared after dir: closes its file first
};

TEST_F(LogDeviceFileTest, FilesFollowTheUtcDayOnlyForwardAndAreFlushedWhenTold) {
  ASSERT_TRUE(device.Init(dir.path().c_str(), "debug", 9999));
  auto lastOfDay = Record(kLastSecondOfDec4, "DL31001", "last of day");
  auto firstOfNext = Record(kLastSecondOfDec4 + 1, "DL31001", "first of day");
  auto lateArrival = Record(kLastSecondOfDec4 - 3600, "DL31001", "late");
  EXPECT_TRUE(device.ProcessMessage(lastOfDay, false));
  EXPECT_EQ(ReadAll(DayFile("2026.12.04")), "");  // still in the stream's buffer
  EXPECT_TRUE(device.ProcessMessage(firstOfNext, true));
  EXPECT_TRUE(device.ProcessMessage(lateArrival, true));
  EXPECT_EQ(ReadAll(DayFile("2026.12.04")), std::string(kHead) + "[DL31001]\t[T]\tlast of day\n");
  EXPECT_EQ(ReadAll(DayFile("2026.12.05")),
            "1796428800\t2026.12.05-00.00.00\tvigild-7:0\tI\t[DL31001]\t[T]\tfirst of day\n"
            "1796425199\t2026.12.04-22.59.59\tvigild-7:0\tI\t[DL31001]\t[T]\tlate\n");
  EXPECT_EQ(device.getCurrentFileName(), DayFile("2026.12.05").c_str());
}

TEST_F(LogDeviceFileTest, LongLinesAreCutAndNewlinesBecomeBlanks) {
  ASSERT_TRUE(device.Init(dir.path().c_str(), "debug", 9999));
  const std::string head = std::string(kHead) + "[DL31001]\t[T]\t";
  // A message that makes the whole line `length` characters, with a newline
  // early on so that the cut and the blanks meet.
  auto messageFor = [&](size_t length) {
    std::string message(length - head.size(), 'x');
    message[10] = '\n';
    return message;
  };
  auto flat = [](std::string text) {
    std::replace(text.begin(), text.end(), '\n', ' ');
    return text;
  };
  const struct Case {
    const char* code;
    std::string message;
    bool allowLong;
    std::string expected;
  } cases[] = {
      {"", "a\nb\n", false, std::string(kHead) + "\t[T]\ta b "},
      {"DL31001", messageFor(2047), false, flat(head + messageFor(2047))},
      {"DL31001", messageFor(2048), false,
       flat(head + messageFor(2048)).substr(0, 2043) + " ... (Truncated from 2048)"},
      {"DL31001", messageFor(3000), false,
       flat(head + messageFor(3000)).substr(0, 2043) + " ... (Truncated from 3000)"},
      {"DL31001", messageFor(3000), true, flat(head + messageFor(3000))},
  };
  std::string expected;
  for (const Case& c : cases) {
    TlConfigurationGlobal::Instance()->AtPutBool("DIAG.LOG.ALLOWLONGLINES", c.allowLong);
    auto record = Record(kLastSecondOfDec4, c.code, c.message);
    EXPECT_TRUE(device.ProcessMessage(record, true));
    expected += c.expected + "\n";
  }
  EXPECT_EQ(ReadAll(DayFile("2026.12.04")), expected);
}

TEST_F(LogDeviceFileTest, RetentionKeepsTheNewestFilesOfThePrefixOnly) {
  const std::vector<std::string> unrelated = {"2026.12.01debug.txt", "2026.12.01other.log",
                                              "notes.txt"};
  const struct Case {
    int retention;
    const char* extra;  // another file of the prefix, or null
    std::vector<std::string> keptOfPrefix;
  } cases[] = {
      {3, nullptr, {"2026.12.01debug.log", "2026.12.02debug.log", "2026.12.04debug.log"}},
      {-1,
       nullptr,
       {"2026.11.28debug.log", "2026.11.29debug.log", "2026.11.30debug.log", "2026.12.01debug.log",
        "2026.12.02debug.log", "2026.12.04debug.log"}},
      {0, nullptr, {"2026.12.04debug.log"}},
      // A file dated ahead of the clock: the open file survives regardless.
      {1, "2027.01.01debug.log", {"2026.12.04debug.log"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.retention);
    TempDir logs;
    for (const char* date :
         {"2026.11.28", "2026.11.29", "2026.11.30", "2026.12.01", "2026.12.02"}) {
      logs.WriteFile(std::string(date) + "debug.log", "old\n");
    }
    for (const std::string& name : unrelated) {
      logs.WriteFile(name, "keep\n");
    }
    if (c.extra != nullptr) {
      logs.WriteFile(c.extra, "ahead\n");
    }
    LogDeviceFile retaining;
    retaining.Init(logs.path().c_str(), "debug", c.retention);
    auto record = Record(kLastSecondOfDec4, "DL31001", "new day");
    EXPECT_TRUE(retaining.ProcessMessage(record, true));
    std::vector<std::string> expected = c.keptOfPrefix;
    expected.insert(expected.end(), unrelated.begin(), unrelated.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(SortedNames(logs.path()), expected);
  }
}

TEST_F(LogDeviceFileTest, FailedOpenOrWriteRefusesTheRecordAndTheNextRecordRetries) {
  StderrCapture errors;
  auto record = Record(kLastSecondOfDec4, "DL31001", "retried");

  dir.WriteFile("blocker", "");  // a file where a directory must go
  const std::string logs = dir.Join("blocker/logs");
  LogDeviceFile blocked;
  EXPECT_TRUE(blocked.Init(logs.c_str(), "debug", 9999));
  EXPECT_FALSE(blocked.ProcessMessage(record, true));
  EXPECT_FALSE(blocked.ProcessMessage(record, true));
  ASSERT_EQ(unlink(dir.Join("blocker").c_str()), 0);
  EXPECT_TRUE(blocked.ProcessMessage(record, true));
  EXPECT_EQ(ReadAll(logs + "/2026.12.04debug.log"),
            std::string(kHead) + "[DL31001]\t[T]\tretried\n");

  ASSERT_EQ(symlink("/dev/full", DayFile("2026.12.04").c_str()), 0);
  ASSERT_TRUE(device.Init(dir.path().c_str(), "debug", 9999));
  EXPECT_FALSE(device.ProcessMessage(record, true));
  EXPECT_EQ(device.getCurrentFileName(), "");
  ASSERT_EQ(unlink(DayFile("2026.12.04").c_str()), 0);
  EXPECT_TRUE(device.ProcessMessage(record, true));
  EXPECT_EQ(ReadAll(DayFile("2026.12.04")), std::string(kHead) + "[DL31001]\t[T]\tretried\n");

  // One report per run of failures, not one per refused record.
  const std::string report = errors.Stop();
  EXPECT_EQ(std::count(report.begin(), report.end(), '\n'), 2) << report;
  EXPECT_NE(report.find("[LogDeviceFile::Init] ERROR : create log directory " + logs),
            std::string::npos);
  EXPECT_NE(report.find("[LogDeviceFile::ProcessMessage] ERROR : write to log file "),
            std::string::npos);
}

TEST_F(LogDeviceFileTest, ServerAskedForFilesWritesThemInsteadOfTheConsole) {
  std::shared_ptr<CapturingLogDevice::Log> console;
  FileServer(console);
  EXPECT_TRUE(LogServer::Report(Warning, nullptr, "[Test::Server] WARNING : to file"));
  EXPECT_EQ(console->Count(), 0u);
  const std::vector<std::string> names = SortedNames(dir.path());
  ASSERT_EQ(names.size(), 1u);
  EXPECT_EQ(names[0].size(), std::string("2026.12.04vigild.log").size());
  EXPECT_EQ(names[0].substr(10), "vigild.log");
  const std::string expectedEnd = "\tVIGILD.0.0-" + std::to_string(getpid()) +
                                  ":0\tW\t[DL30002]\t[Test::Server]\tWARNING : to file\n";
  const std::string text = ReadAll(dir.Join(names[0]));
  ASSERT_GE(text.size(), expectedEnd.size());
  EXPECT_EQ(text.substr(text.size() - expectedEnd.size()), expectedEnd);
}

TEST_F(LogDeviceFileTest, EightQueuedProducersAndAFlusherWriteEveryRecordOnceInOrder) {
  constexpr int kThreads = 8;
  constexpr int kPerThread = 10000;
  std::shared_ptr<CapturingLogDevice::Log> console;
  LogServer* server = FileServer(console);
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
  for (const std::string& name : SortedNames(dir.path())) {  // a run may cross midnight
    std::ifstream in(dir.Join(name));
    for (std::string line; std::getline(in, line);) {
      if (line.find("\t[P]\t") == std::string::npos) {
        continue;
      }
      char* rest = nullptr;
      const long t = strtol(line.c_str() + line.rfind('\t') + 1, &rest, 10);
      ASSERT_TRUE(t >= 0 && t < kThreads) << line;
      ASSERT_EQ(strtol(rest, nullptr, 10), next[static_cast<size_t>(t)]) << line;
      ++next[static_cast<size_t>(t)];
    }
  }
  EXPECT_EQ(next, std::vector<int>(kThreads, kPerThread));
}

}  // namespace
