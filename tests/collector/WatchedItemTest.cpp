#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>

#include "CapturingLogDevice.h"
#include "LogServer.h"
#include "TlConfigurationGlobal.h"
#include "WatchedItem.h"

namespace {

// Limits as a watch order gives them (-1: left out, and then the matching
// switch is off), the last report, the silence and the logged line's tail
// (null: the item passes). A heartbeat tail is followed by lastSeen.
struct Case {
  int wdFreq, minWSet, maxWSet, wsetIncr, maxErrors;
  int psNomWSet, psWSet, psErrors;
  long silence;
  const char* tail;
};

const char kHeartbeat[] = ", failed to reset watchdog. No signal since ";

const Case kCases[] = {
    {10, -1, -1, -1, -1, 0, 0, 0, 10, nullptr},
    {10, -1, -1, -1, -1, 0, 0, 0, 11, kHeartbeat},
    {0, -1, -1, -1, -1, 0, 0, 0, 0, nullptr},
    {0, -1, -1, -1, -1, 0, 0, 0, 1, kHeartbeat},
    {-1, -1, 500, -1, -1, 0, 500, 0, 0, nullptr},
    {-1, -1, 500, -1, -1, 0, 501, 0, 0, ", reachs Working Set uppper limit : 501 > 500"},
    {-1, 10, 500, 150, -1, 100, 501, 0, 0, ", reachs Working Set uppper limit : 501 > 500"},
    {-1, 10, -1, 150, -1, 100, 150, 0, 0, nullptr},
    {-1, 10, -1, 150, -1, 100, 151, 0, 0,
     ", increases than more than 150%, compared to nominal value : 100"},
    {-1, 200, -1, 150, -1, 100, 200, 0, 0, nullptr},
    // Without wsetIncr the factor is -0.01.
    {-1, -5, -1, -1, -1, 100, 0, 0, 0,
     ", increases than more than -1%, compared to nominal value : 100"},
    {-1, 10, -1, 150, -1, -1, 1000, 0, 0, nullptr},
    {-1, -5, -1, -1, -1, 1000, -1, 0, 0, nullptr},
    {-1, -1, -1, -1, 3, 0, 0, 3, 0, nullptr},
    {-1, -1, -1, -1, 3, 0, 0, 4, 0, ", commited too much errors. 4 > 3"},
    {5, -1, -1, -1, 3, 0, 0, 4, 6, kHeartbeat},
};

}  // namespace

class WatchedItemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log = CapturingLogDevice::Install(LogServer::Instance());
    // Queued records reach the device only through a flush.
    LogServer::Instance()->StartQueueing();
    Timestamp::controlledTimeFreeze();
  }
  void TearDown() override {
    Timestamp::controlledTimeResume();  // never ahead of the clock: no wait
    LogServer::DeleteInstance();
    TlConfigurationGlobal::DeleteInstance();
  }

  static int Judge(WatchedItem& item, long silence) {
    item.lastSeen.SetNow();
    item.lastSeen -= silence;
    return item.IsSomethingWrong();
  }

  // The records logged since the last call, each checked as a health-check
  // failure, as "message" lines.
  std::string TakeLines() {
    std::string lines;
    for (const auto& record : log->Records()) {
      EXPECT_EQ(Error, record.severity);
      EXPECT_EQ("DL30000", record.code);
      EXPECT_EQ("GENERIC", record.tag);
      lines += record.message + "\n";
    }
    log->Clear();
    return lines;
  }

  std::shared_ptr<CapturingLogDevice::Log> log;
};

TEST_F(WatchedItemTest, OnlyTheFirstFailingTestAnswersAndIsLogged) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(::testing::Message() << "case " << (&c - kCases));
    WatchedItem item;
    item.info.pid = 4242;
    item.settings.psName = "billing";
    WatchSettings& s = item.settings;
    s.heartbeatOn = c.wdFreq != -1;
    s.wsetOn = c.minWSet != -1 || c.maxWSet != -1 || c.wsetIncr != -1;
    s.errorsOn = c.maxErrors != -1;
    s.wdFreq = c.wdFreq;
    s.minWSet = c.minWSet;
    s.maxWSet = c.maxWSet;
    s.wsetIncr = c.wsetIncr;
    s.maxErrors = c.maxErrors;
    item.info.psNomWSet = c.psNomWSet;
    item.info.psWSet = c.psWSet;
    item.info.psErrors = c.psErrors;

    EXPECT_EQ(c.tail != nullptr ? 1 : 0, Judge(item, c.silence));
    std::ostringstream expected;
    if (c.tail != nullptr) {
      expected << "[WatchedItem::IsSomethingWrong] : ERROR : process #4242 billing" << c.tail;
      if (c.tail == kHeartbeat) {
        expected << item.lastSeen;
      }
      expected << "\n";
    }
    EXPECT_EQ(expected.str(), TakeLines());
  }
}

TEST_F(WatchedItemTest, ItemWithEveryTestSwitchedOffIsNeverWrong) {
  WatchedItem item;
  item.settings.wdFreq = item.settings.maxWSet = item.settings.minWSet = 0;
  item.settings.maxErrors = 0;
  item.info.psWSet = item.info.psErrors = 1000;
  EXPECT_EQ(0, Judge(item, 3600));
  EXPECT_EQ("", TakeLines());
}

// A heartbeat replaces the whole report, so a figure it leaves out is 0 from
// then on, and a nominal size of 0 makes any positive working set too large.
TEST_F(WatchedItemTest, HeartbeatWithoutNominalSizeMakesGrowthTestFail) {
  WatchedItem item;
  item.settings.wsetOn = 1;
  item.settings.minWSet = 10;
  item.settings.wsetIncr = 150;
  item.info.pid = 77;
  item.info.psNomWSet = 100;
  item.info.psWSet = 120;
  ASSERT_EQ(0, Judge(item, 0));

  ProcessInfo heartbeat;
  heartbeat.pid = 77;
  heartbeat.psWSet = 120;
  item.info = heartbeat;
  EXPECT_EQ(1, Judge(item, 0));
  EXPECT_EQ(
      "[WatchedItem::IsSomethingWrong] : ERROR : process #77 , increases than more than 150%, "
      "compared to nominal value : 0\n",
      TakeLines());
}
