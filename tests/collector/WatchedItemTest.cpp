#include "LoggedCount.h"
#include "WatchedItem.h"

namespace {

const char kSilent[] = ", failed to reset watchdog. No signal since ";

// Limits (-1: left out, that test switched off), the last report, the silence in seconds, and the
// tail of the logged line (null: the item passes), which for silence ends with lastSeen.
const struct Case {
  int wdFreq, minWSet, maxWSet, wsetIncr, maxErrors, psNomWSet, psWSet, psErrors;
  long silence;
  const char* tail;
} kCases[] = {
    {10, -1, -1, -1, -1, 0, 0, 0, 10, nullptr},
    {10, -1, -1, -1, -1, 0, 0, 0, 11, kSilent},
    {0, -1, -1, -1, -1, 0, 0, 0, 1, kSilent},
    {-1, -1, 500, -1, -1, 0, 500, 0, 0, nullptr},
    {-1, -1, 500, -1, -1, 0, 501, 0, 0, ", reachs Working Set uppper limit : 501 > 500"},
    {-1, 10, 500, 150, -1, 100, 501, 0, 0, ", reachs Working Set uppper limit : 501 > 500"},
    {-1, 10, -1, 150, -1, 100, 150, 0, 0, nullptr},
    {-1, 10, -1, 150, -1, 100, 151, 0, 0,
     ", increases than more than 150%, compared to nominal value : 100"},
    {-1, 200, -1, 150, -1, 100, 200, 0, 0, nullptr},
    // No wsetIncr: factor -0.01; nominal 0 (a heartbeat left it out): any positive size too large.
    {-1, -5, -1, -1, -1, 100, 0, 0, 0,
     ", increases than more than -1%, compared to nominal value : 100"},
    {-1, 10, -1, 150, -1, 0, 11, 0, 0,
     ", increases than more than 150%, compared to nominal value : 0"},
    {-1, -1, -1, -1, 3, 0, 0, 3, 0, nullptr},
    {-1, -1, -1, -1, 3, 0, 0, 4, 0, ", commited too much errors. 4 > 3"},
    {5, -1, -1, -1, 3, 0, 0, 4, 6, kSilent},
    {-1, -1, -1, -1, -1, 0, 1000, 1000, 3600, nullptr},
};

using WatchedItemTest = LoggingTest;

TEST_F(WatchedItemTest, OnlyTheFirstFailingTestAnswersAndIsLoggedAndFlushed) {
  LogServer::Instance()->StartQueueing();  // records reach the device only through a flush
  Timestamp::controlledTimeFreeze();
  for (const Case& c : kCases) {
    WatchedItem item;
    item.info.pid = 4242;
    std::tie(item.info.psNomWSet, item.info.psWSet, item.info.psErrors) =
        std::tie(c.psNomWSet, c.psWSet, c.psErrors);
    WatchSettings& s = item.settings;
    s.psName = "billing";
    s.heartbeatOn = c.wdFreq != -1;
    s.wsetOn = c.minWSet != -1 || c.maxWSet != -1 || c.wsetIncr != -1;
    s.errorsOn = c.maxErrors != -1;
    std::tie(s.wdFreq, s.minWSet, s.maxWSet, s.wsetIncr, s.maxErrors) =
        std::tie(c.wdFreq, c.minWSet, c.maxWSet, c.wsetIncr, c.maxErrors);
    item.lastSeen.SetNow();
    item.lastSeen -= c.silence;

    EXPECT_EQ(c.tail != nullptr ? 1 : 0, item.IsSomethingWrong()) << "case " << (&c - kCases);
    std::ostringstream expected, logged;
    if (c.tail != nullptr) {
      expected << Error << " DL30000 GENERIC [WatchedItem::IsSomethingWrong] : ERROR : process "
               << "#4242 billing" << c.tail;
      if (c.tail == kSilent) {
        expected << item.lastSeen;
      }
      expected << "\n";
    }
    for (const auto& r : log->Records()) {
      logged << r.severity << " " << r.code << " " << r.tag << " " << r.message << "\n";
    }
    log->Clear();
    EXPECT_EQ(expected.str(), logged.str()) << "case " << (&c - kCases);
  }
  Timestamp::controlledTimeResume();  // never ahead of the clock: no wait
}

}  // namespace
