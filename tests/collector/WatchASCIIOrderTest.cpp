#include <gtest/gtest.h>
#include <limits.h>

#include <memory>
#include <random>
#include <string>
#include <thread>
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

class WatchASCIIOrderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log = CapturingLogDevice::Install(LogServer::Instance());
    pepoWatchedList = &list;
  }
  void TearDown() override {
    pepoWatchedList = nullptr;
    LogServer::DeleteInstance();
  }

  // The results of ProcessLine, one per line.
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

  std::shared_ptr<CapturingLogDevice::Log> log;
  WatchedList list;
};

TEST_F(WatchASCIIOrderTest, HeaderIsBeginGluedToAKnownServiceName) {
  const struct {
    const char* line;
    int type;  // ServiceNone: no block opened
    const char* name;
  } cases[] = {{"BEGINWATCH", WatchASCIIOrder::ServiceWatch, "WATCH"},
               {"xxBEGINWATCH trailing", WatchASCIIOrder::ServiceWatch, "WATCH"},
               {"bEgInWaTcH\r", WatchASCIIOrder::ServiceWatch, "WaTcH"},
               {"BeginMsg", WatchASCIIOrder::ServiceMsg, "Msg"},
               {"beginMgmt", WatchASCIIOrder::ServiceMgmt, "Mgmt"},
               {"BEGIN WATCH", WatchASCIIOrder::ServiceNone, ""},
               {"pid: 42", WatchASCIIOrder::ServiceNone, ""},
               // The name follows the first "begin", not the header's own.
               {"begin BEGINWATCH", WatchASCIIOrder::ServiceNone, ""},
               {"BEGINWATCHER", WatchASCIIOrder::ServiceNone, "WATCHER"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    WatchASCIIOrder order;
    EXPECT_EQ(Ints{0}, Feed(order, {c.line}));
    EXPECT_EQ(c.type, order.Type());
    EXPECT_EQ(c.type != WatchASCIIOrder::ServiceNone, order.InBlock());
    EXPECT_STREQ(c.name, order.ServiceName().chars());
  }
  ASSERT_EQ(2u, log->Count());  // '' and 'WATCHER'
  const CapturingLogDevice::Captured record = log->Records()[1];
  EXPECT_EQ("[WatchASCIIOrder::ServiceTypeFromName] ERROR : Unknown service name 'WATCHER'",
            record.message);
  EXPECT_EQ((Ints{Warning, 1}), (Ints{record.severity, record.flush}));
  EXPECT_EQ("DL30102 GENERIC", record.code + " " + record.tag);
}

TEST_F(WatchASCIIOrderTest, EndNeedsPunctuationAnywhereInTheLineAndIsNotBody) {
  const Lines ending{"END;", "end.", "End,", "psname: backend.exe"};  // "end." in a value too
  const Lines body{"END", "endless", "pid: 42", "BEGINMSG"};          // a nested header is body
  for (const Lines* set : {&ending, &body}) {
    for (const std::string& line : *set) {
      SCOPED_TRACE(line);
      const int completes = set == &ending;
      WatchASCIIOrder order;
      EXPECT_EQ((Ints{0, completes}), Feed(order, {"BEGINWATCH", line}));
      EXPECT_EQ((Ints{completes, !completes, WatchASCIIOrder::ServiceWatch}),
                (Ints{order.Complete(), order.length(), order.Type()}));
    }
  }
}

TEST_F(WatchASCIIOrderTest, ItemLineSplitsAtItsFirstRunOfBlanksAndColons) {
  const struct {
    const char* line;
    const char* item;  // "-": not an item line
    const char* value;
  } cases[] = {{"pid:42", "pid", "42"},
               {"pid: 42", "pid", "42"},
               {"PID:: :7", "PID", "7"},
               {"psstop:", "psstop", ""},
               {"psstart:   /usr/bin/run  -x  ", "psstart", "/usr/bin/run  -x"},
               {"psstart:\t/usr/bin/run -x\t", "psstart", "\t/usr/bin/run -x\t"},
               {"pid 42", "-", "-"},
               {"pid  :42", "-", "-"},
               {"p-id: 42", "-", "-"},
               {": 42", "-", "-"}};
  WatchASCIIOrder order;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    String line(c.line), item("-"), value("-");
    EXPECT_EQ(c.item[0] != '-', order.toolDecodeItemValue(line, item, value));
    EXPECT_EQ(std::string(c.item) + "|" + c.value, std::string(item) + "|" + value.chars());
  }
}

// Numbers are read as atoi reads them, except that they saturate.
TEST_F(WatchASCIIOrderTest, ReadersTakeKeywordsInAnyCaseLastOneWinsNumbersSaturate) {
  WatchASCIIOrder order;
  Feed(order, {"BEGINWATCH", "PID: 4711", "pid: +4712", "psnomwset: 42abc", "pswset: 4294967296",
               "PSERRORS: -99999999999999999999", "psname: collector", "psstart:  /bin/run -x",
               "psstop:", "wdfreq: abc", "minwset:\t 12", "maxwset: -17", "wsetincr: - 3",
               "MaxErrors: 2147483648", "pids: 9", "stop: 5"});
  ProcessInfo info, stop;
  WatchSettings s;
  EXPECT_EQ((Ints{1, 1, 1}), (Ints{order.ProcessInfoFromBody(info), order.WatchSettingsFromBody(s),
                                   order.WatchStopFromBody(stop)}));
  EXPECT_EQ((Ints{4712, 42, INT_MAX, INT_MIN, 5}),
            (Ints{info.pid, info.psNomWSet, info.psWSet, info.psErrors, stop.pid}));
  EXPECT_EQ("collector|/bin/run -x|",
            std::string(s.psName) + "|" + s.psStart.chars() + "|" + s.psStop.chars());
  EXPECT_EQ((Ints{1, 0, 1, 12, -17, 0, 1, INT_MAX}),
            (Ints{s.heartbeatOn, s.wdFreq, s.wsetOn, s.minWSet, s.maxWSet, s.wsetIncr, s.errorsOn,
                  s.maxErrors}));
  ProcessInfo none;
  order.Reset();
  EXPECT_EQ((Ints{0, 0, 0}),
            (Ints{order.ProcessInfoFromBody(none), order.WatchStopFromBody(none), none.pid}));
}

TEST_F(WatchASCIIOrderTest, OrdersRegisterRefreshAndForgetOnlyWithANonZeroPid) {
  const struct {
    Lines lines;
    int result;
    size_t tableSize;
  } steps[] = {{{"BEGINWATCH", "psname: nopid", "wdfreq: 5", "END;"}, 0, 0},
               {{"BEGINWATCH", "pid: 0", "END;"}, 0, 0},
               {{"BEGINWATCH", "pid: 4711", "psname: collector", "wdfreq: 120", "END;"}, 1, 1},
               {{"BEGINMSG", "pswset: 9", "END;"}, 0, 1},
               {{"BEGINMSG", "pid: 99", "END;"}, 0, 1},
               {{"BEGINMSG", "pid: 4711", "pswset: 9", "END;"}, 1, 1},
               {{"BEGINMGMT", "stop: 99", "END;"}, 1, 1},
               {{"BEGINMGMT", "END;"}, 1, 1}};
  for (const auto& step : steps) {
    EXPECT_EQ(step.result, Execute(step.lines)) << step.lines[1];
    EXPECT_EQ(step.tableSize, list.Size()) << step.lines[1];
  }
  const WatchedItem item = list.Snapshot().at(4711);
  EXPECT_EQ((Ints{ItemWatching, 120, 9}),
            (Ints{item.state, item.settings.wdFreq, item.info.psWSet}));
  EXPECT_STREQ("collector", item.settings.psName.chars());
  EXPECT_EQ(1, Execute({"BEGINMGMT", "stop: 4711", "END;"}));
  EXPECT_EQ(0u, list.Size());
  pepoWatchedList = nullptr;
  EXPECT_EQ(0, Execute({"BEGINWATCH", "pid: 1", "END;"}));
}

TEST_F(WatchASCIIOrderTest, OversizedBlockIsDroppedThroughItsEndLine) {
  WatchASCIIOrder order;
  Feed(order, Lines(WatchASCIIOrder::kMaxBodyLines + 1, "BEGINWATCH"));
  EXPECT_EQ((Ints{WatchASCIIOrder::kMaxBodyLines, 0}), (Ints{order.length(), int(log->Count())}));
  EXPECT_EQ((Ints{0, 0, 0}), Feed(order, {"pid: 8", "pid: 9", "END;"}));
  EXPECT_EQ((Ints{0, 0}), (Ints{order.length(), order.InBlock()}));
  EXPECT_EQ(Lines{"[WatchASCIIOrder::ProcessLine] ERROR : Order block 'WATCH' longer than 64 "
                  "lines, dropped"},
            log->Messages());
  EXPECT_EQ((Ints{0, 0, 1}), Feed(order, {"BEGINMSG", "pid: 3", "END;"}));
  EXPECT_EQ(1, order.Reset());
  EXPECT_EQ((Ints{0, 0, 0, 0, WatchASCIIOrder::ServiceNone}),
            (Ints{order.length(), order.InBlock(), order.Complete(), order.ServiceName().length(),
                  order.Type()}));
}

// Every connection thread splits with the same expressions; each must use
// the match its own search found, whatever the others match meanwhile.
TEST_F(WatchASCIIOrderTest, ConcurrentConnectionsEachDecodeTheirOwnLines) {
  Ints wrong(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &wrong] {
      const std::string key = "k" + std::to_string(t), expected = "v" + std::to_string(t);
      const String text((key + ":" + std::string(3 * t, ' ') + " " + expected).c_str());
      WatchASCIIOrder order;
      for (int i = 0; i < 10000; ++i) {
        String line(text), item, value;
        order.toolDecodeItemValue(line, item, value);
        wrong[t] += key != item.chars() || expected != value.chars();
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(Ints(4, 0), wrong);
}

// What a hostile client might send: known lines, mutated or glued together,
// random bytes, and now and then a line of the longest length.
std::string HostileLine(std::mt19937& rng) {
  static const char* const kSeeds[] = {"BEGINWATCH",
                                       "beginMsg",
                                       "BeGiNmGmT",
                                       "BEGINWATCHER",
                                       "END;",
                                       "end.",
                                       "END",
                                       "pid: 4711",
                                       "pid:0",
                                       "pid: -0",
                                       "pid: 99999999999999999999",
                                       "stop: 4711",
                                       "stop: 0",
                                       "pswset: 12",
                                       "psname: backend.exe",
                                       "psstart:   /bin/true  ",
                                       "wdfreq: 2147483648",
                                       "pid:: :5",
                                       "xxBEGINWATCH pid: 3 END;"};
  const size_t seeds = sizeof kSeeds / sizeof kSeeds[0];
  std::string line = kSeeds[rng() % seeds];
  const unsigned kind = rng() % 4;
  for (unsigned edits = kind == 1 ? 1 + rng() % 4 : 0; edits > 0; --edits) {
    const size_t at = rng() % (line.size() + 1);
    line.insert(at, 1, static_cast<char>(rng() % 256));
    line.erase(rng() % line.size(), rng() % 2);
  }
  if (kind == 2) {
    line.resize(rng() % 120);
    for (char& c : line) {
      c = static_cast<char>(rng() % 256);
    }
  }
  if (kind == 3) {
    line += std::string(rng() % 3, ' ') + kSeeds[rng() % seeds];
  }
  if (rng() % 20000 == 0) {
    line = "pid:" + std::string(31700 + rng() % 40, " 9:\x80"[rng() % 4]) + line;
  }
  return line;
}

TEST_F(WatchASCIIOrderTest, HostileLinesNeverCrashOverfillOrRegisterPidZero) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  const int kLines = 100000;  // each line costs the sanitizers some ten times more
#else
  const int kLines = 1000000;
#endif
  std::mt19937 rng(20240611);
  WatchASCIIOrder order;
  Cnx connection;
  int registered = 0;
  for (int i = 0; i < kLines; ++i) {
    if (rng() % 3000 == 0) {  // a block flooded with items, no end in sight
      Feed(order, {"BEGINWATCH"});
      Feed(order, Lines(WatchASCIIOrder::kMaxBodyLines + 1, "pid: 17"));
    }
    const std::string text = HostileLine(rng);
    String line(text.data(), static_cast<int>(text.size()));
    if (order.ProcessLine(line) == 1) {
      const int done = order.ExecuteOrder(connection);
      registered += done && order.Type() == WatchASCIIOrder::ServiceWatch;
      order.Reset();
      ProcessInfo zero;
      ASSERT_EQ(0, list.UpdateWatchedItem(zero)) << "pid 0 registered after line " << i;
    }
    ASSERT_LE(order.length(), WatchASCIIOrder::kMaxBodyLines);
    if (i % 4096 == 0) {
      log->Clear();
    }
  }
  EXPECT_GT(registered, 100);  // the orders did reach the table
}

}  // namespace
