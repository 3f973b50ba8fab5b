// The status writer fed by a real supervision loop whose process services
// are played: the file stays fresh through a restart's pause, it is written
// when what it shows changes and not after every pass, and a write failure is
// logged once per run of failures.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <thread>

#include "CapturingLogDevice.h"
#include "ListenPort.h"
#include "LogServer.h"
#include "OrderCounters.h"
#include "StatusWriter.h"
#include "TempDir.h"
#include "TestWaits.h"
#include "WatchedList.h"

namespace {

// No process exists; commands are only counted.
class NoProcesses : public WatchedList::ProcessServices {
 public:
  int CheckPID(int) override { return 0; }
  int CommandLunch(String&, int) override { return 1; }
};

// The parsed file, or a discarded value while it is missing or unparsable.
nlohmann::json ReadJson(const std::string& path) {
  return nlohmann::json::parse(ReadAll(path), nullptr, false);
}

class StatusWriterTest : public ::testing::Test {
 protected:
  void TearDown() override { LogServer::DeleteInstance(); }
  std::shared_ptr<CapturingLogDevice::Log> log = CapturingLogDevice::Install(LogServer::Instance());
  TempDir dir;
};

}  // namespace

TEST_F(StatusWriterTest, FileShowsTheRestartAndStaysFreshDuringThePause) {
  NoProcesses services;
  WatchedList::Waits waits;
  waits.restartPauseMs = 4000;
  waits.passSleepMs = 50;
  waits.timeToLive = 1;
  WatchedList list(&services, waits);
  OrderCounters counters;
  counters.CountExecuted(OrderCounters::kWatch);
  StatusWriter::Settings settings;
  settings.statusFile = dir.Join("sub/status.json");
  settings.port = 4242;
  settings.periodMs = 100;
  StatusWriter writer(settings, counters);
  list.SetObserver(&writer);
  ASSERT_TRUE(writer.Start());

  WatchedItem item;
  item.info.pid = 31337;
  item.info.psErrors = 5;
  item.settings.psName = "flaky";
  item.settings.errorsOn = 1;
  item.settings.maxErrors = 0;
  list.CreateNewWatch(item);
  ListenPort port;
  port.state = ListenPort::kRunning;
  std::thread loop([&] { list.ProcessBlock(&port); });

  // Through the pause the file shows the restart, and its time of writing
  // moves on.
  long firstUpdate = 0;
  EXPECT_TRUE(WaitUntil(
      [&] {
        const nlohmann::json doc = ReadJson(settings.statusFile);
        if (doc.is_discarded() || doc["processes"].empty() ||
            doc["processes"][0]["state"] != "restarting") {
          return false;
        }
        firstUpdate = doc["daemon"]["updated"];
        return true;
      },
      3000));
  const nlohmann::json during = ReadJson(settings.statusFile);
  EXPECT_EQ(1, during["restarts"]["flaky"]);
  EXPECT_EQ(1, during["processes"][0]["restarts"]);
  EXPECT_EQ(4242, during["daemon"]["port"]);
  EXPECT_EQ(1, during["orders"]["watch"]);
  EXPECT_TRUE(WaitUntil(
      [&] {
        const nlohmann::json doc = ReadJson(settings.statusFile);
        return !doc.is_discarded() && doc["daemon"]["updated"] > firstUpdate &&
               doc["processes"][0]["state"] == "restarting";
      },
      3500));
  struct stat info {};
  EXPECT_EQ(0, stat(settings.statusFile.c_str(), &info));
  EXPECT_EQ(0644u, info.st_mode & 0777);

  loop.join();
  writer.Stop();
  const nlohmann::json after = ReadJson(settings.statusFile);
  EXPECT_EQ(false, after["daemon"]["running"]);
  EXPECT_TRUE(after["processes"].empty());
  EXPECT_GE(after["daemon"]["passes"], 1);
}

// Others who may write to the directory can plant files at the names the
// writer uses: the operator hears of it once, at start, for each such one.
TEST_F(StatusWriterTest, StartWarnsOfADirectoryOthersCanWriteTo) {
  OrderCounters counters;
  // mode of the status file's directory, Warnings expected
  const std::pair<mode_t, size_t> kCases[] = {{0755, 0}, {0775, 1}, {0757, 1}, {01777, 1}};
  for (const auto& [mode, warnings] : kCases) {
    const std::string sub = dir.Join("m" + std::to_string(mode));
    ASSERT_EQ(0, mkdir(sub.c_str(), 0700));
    ASSERT_EQ(0, chmod(sub.c_str(), mode));
    StatusWriter::Settings settings;
    settings.statusFile = sub + "/status.json";
    settings.periodMs = 1000;
    log->Clear();
    {
      StatusWriter writer(settings, counters);
      ASSERT_TRUE(writer.Start());
      writer.Stop();
    }
    LogServer::Instance()->Flush();
    size_t found = 0;
    for (const std::string& message : log->Messages()) {
      found += message.find("the status directory " + sub) != std::string::npos &&
               message.find("is writable by group or others") != std::string::npos;
    }
    EXPECT_EQ(found, warnings) << std::oct << mode;
  }
}

TEST_F(StatusWriterTest, WriteFailureIsLoggedOncePerRunOfFailures) {
  OrderCounters counters;
  StatusWriter::Settings settings;
  const std::string blocker = dir.Join("plain-file");
  dir.WriteFile("plain-file", "x");
  // A directory that cannot exist: its parent is a regular file.
  settings.statusFile = blocker + "/status.json";
  settings.periodMs = 50;
  StatusWriter writer(settings, counters);
  ASSERT_TRUE(writer.Start());
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  LogServer::Instance()->Flush();
  int failures = 0;
  for (const std::string& message : log->Messages()) {
    failures += message.find("cannot create a temporary file") != std::string::npos;
  }
  EXPECT_EQ(1, failures);

  // The directory appears: writing resumes and says so once.
  ASSERT_EQ(0, unlink(blocker.c_str()));
  ASSERT_EQ(0, mkdir(blocker.c_str(), 0755));
  EXPECT_TRUE(WaitUntil([&] { return !ReadJson(settings.statusFile).is_discarded(); }, 3000));
  writer.Stop();
  LogServer::Instance()->Flush();
  int again = 0;
  for (const std::string& message : log->Messages()) {
    again += message.find("again") != std::string::npos;
  }
  EXPECT_EQ(1, again);
}
