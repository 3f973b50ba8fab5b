#include <gtest/gtest.h>
#include <limits.h>

#include <memory>
#include <string>
#include <vector>

#include "CapturingLogDevice.h"
#include "Cnx.h"
#include "LogServer.h"
#include "WatchASCIIOrder.h"
#include "WatchedItem.h"
#include "WatchedList.h"

namespace {

using Lines = std::vector<std::string>;
using Ints = std::vector<int>;

const Lines kHeaders = Lines({"BEGINWATCH", "xxBEGINWATCH trailing", "bEgInWaTcH\r", "BeginMsg",
                              "beginMgmt", "BEGIN WATCH", "pid: 42", "BEGINWATCHER"});

// Lines inside a block: the first four end it ("end." in a value too), a nested header does not.
const Lines kEnds =
    Lines({"END;", "end.", "End,", "psname: backend.exe", "END", "BEGINMSG", "stop: 5"});

// A watch order; "pid 42" and "pid  :42" are no item lines.
const Lines kWatch = Lines({"BEGINWATCH", "PID:4711", "pid: 0", "pid: +4712", "psnomwset: 42abc",
                            "pswset: 4294967296", "PSERRORS: -99999999999999999999",
                            "psname: \tcollector\t ", "psstop:", "psstart:   /usr/bin/run  -x  ",
                            "wdfreq: abc", "minwset:\t 12", "maxwset: -17", "wsetincr: - 3",
                            "MaxErrors: 2147483648", "pids: 9", "pid 42", "pid  :42", "END;"});

class WatchASCIIOrderTest : public ::testing::Test {
 protected:
  void SetUp() override { pepoWatchedList = &list; }
  void TearDown() override {
    pepoWatchedList = nullptr;
    LogServer::DeleteInstance();
  }

  static Ints Feed(WatchASCIIOrder& order, const Lines& lines) {
    Ints results;
    for (const std::string& text : lines) {
      String line(text.data(), static_cast<int>(text.size()));
      results.push_back(order.ProcessLine(line));
    }
    return results;
  }

  // One block run as the connection routine runs it; -1 when it never ends.
  static int Execute(const Lines& lines) {
    WatchASCIIOrder order;
    Cnx connection;
    return Feed(order, lines).back() == 1 ? order.ExecuteOrder(connection) : -1;
  }

  std::shared_ptr<CapturingLogDevice::Log> log = CapturingLogDevice::Install(LogServer::Instance());
  WatchedList list;
};

TEST_F(WatchASCIIOrderTest, HeaderIsBeginGluedToAKnownServiceNameAndEndNeedsPunctuation) {
  Ints opened, ended;
  for (const std::string& header : kHeaders) {
    WatchASCIIOrder order;
    EXPECT_EQ(Ints{0}, Feed(order, {header}));
    opened.push_back(order.InBlock() == 1 ? order.Type() : 0);
  }
  using O = WatchASCIIOrder;
  EXPECT_EQ((Ints{O::ServiceWatch, O::ServiceWatch, O::ServiceWatch, O::ServiceMsg, O::ServiceMgmt,
                  0, 0, 0}),
            opened);
  EXPECT_EQ(Lines{"[WatchASCIIOrder::ServiceTypeFromName] ERROR : Unknown service name 'WATCHER'"},
            log->Messages());
  for (const std::string& line : kEnds) {
    WatchASCIIOrder order;
    ended.push_back(Feed(order, {"BEGINWATCH", line}).back() * order.Complete());
  }
  EXPECT_EQ((Ints{1, 1, 1, 1, 0, 0, 0}), ended);
}

// kWatch reads with keywords in any case, the last repeat winning, numbers as atoi (saturated) and
// blanks, not tabs, trimmed from values.
TEST_F(WatchASCIIOrderTest, OrdersRegisterRefreshAndForgetOnlyWithANonZeroPid) {
  const struct {
    Lines lines;
    int result;
    size_t tableSize;
  } steps[] = {{{"BEGINWATCH", "psname: nopid", "wdfreq: 5", "END;"}, 0, 0},
               {{"BEGINWATCH", "pid: 0", "END;"}, 0, 0},
               {kWatch, 1, 1},
               {{"BEGINMSG", "pswset: 9", "END;"}, 0, 1},
               {{"BEGINMSG", "pid: 99", "END;"}, 0, 1},
               {{"BEGINMGMT", "stop: 99", "END;"}, 1, 1},
               {{"BEGINMGMT", "END;"}, 1, 1}};
  Timestamp::controlledTimeAdd(-100);  // registered long ago
  for (const auto& step : steps) {
    EXPECT_EQ(step.result, Execute(step.lines)) << step.lines[1];
    EXPECT_EQ(step.tableSize, list.Size()) << step.lines[1];
  }
  Timestamp::controlledTimeResume();
  const WatchedItem item = list.Snapshot().at(4712);
  const WatchSettings& s = item.settings;
  EXPECT_EQ((Ints{42, INT_MAX, INT_MIN, 1, 0, 1, 12, -17, 0, 1, INT_MAX}),
            (Ints{item.info.psNomWSet, item.info.psWSet, item.info.psErrors, s.heartbeatOn,
                  s.wdFreq, s.wsetOn, s.minWSet, s.maxWSet, s.wsetIncr, s.errorsOn, s.maxErrors}));
  EXPECT_EQ("\tcollector\t|/usr/bin/run  -x|",
            std::string(s.psName) + "|" + s.psStart.chars() + "|" + s.psStop.chars());
  // A heartbeat replaces the whole report, so what it leaves out reads 0 from then on.
  EXPECT_EQ(1, Execute({"BEGINMSG", "pid: 4712", "pswset: 9", "END;"}));
  const WatchedItem beaten = list.Snapshot().at(4712);
  EXPECT_EQ((Ints{ItemWatching, 9, 0, 0}),
            (Ints{beaten.state, beaten.info.psWSet, beaten.info.psNomWSet, beaten.info.psErrors}));
  EXPECT_GE(beaten.lastSeen - item.lastSeen, 99);
  EXPECT_EQ(1, Execute({"BEGINMGMT", "stop: 4712", "END;"}));
  EXPECT_EQ(0u, list.Size());
}

}  // namespace
