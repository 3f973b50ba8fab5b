#include <limits.h>

#include "AccessPolicy.h"
#include "Cnx.h"
#include "FakeProcesses.h"
#include "LoggedCount.h"
#include "TlConfiguration.h"
#include "WatchASCIIOrder.h"

namespace {

using Lines = std::vector<std::string>;
using Ints = std::vector<int>;

// A watch order; "pid 42" and "pid  :42" are no item lines.
const Lines kWatch = Lines({"BEGINWATCH", "PID:4711", "pid: 0", "pid: +4712", "psnomwset: 42abc",
                            "pswset: 4294967296", "PSERRORS: -99999999999999999999",
                            "psname: \tcollector\t ", "psstop:", "psstart:   /usr/bin/run  -x  ",
                            "wdfreq: abc", "minwset:\t 12", "maxwset: -17", "wsetincr: - 3",
                            "MaxErrors: 2147483648", "pids: 9", "pid 42", "pid  :42", "END;"});

class WatchASCIIOrderTest : public LoggingTest {
 protected:
  WatchASCIIOrderTest() {
    processes.owners = {{4712, 0},   {100, 1000}, {101, 1000}, {102, 1000},
                        {200, 1001}, {300, 0},    {301, 0}};
    pepoWatchedList = &list;
  }
  ~WatchASCIIOrderTest() override {
    AccessPolicy::Publish(nullptr);
    pepoWatchedList = nullptr;
  }

  // One block from uid (-1: unknown) run as the connection routine runs it; -1 when it never ends.
  static int Execute(const Lines& lines, long uid = -1) {
    WatchASCIIOrder order;
    order.SetClientUid(uid);
    int result = 0;
    for (const std::string& text : lines) {
      String line(text.data(), static_cast<int>(text.size()));
      result = order.ProcessLine(line);
    }
    Cnx connection;
    return result == 1 ? order.ExecuteOrder(connection) : -1;
  }

  // One order from uid on a connection of its own: "watch", "msg" or "mgmt" for pid.
  static int Order(long uid, const std::string& kind, int pid) {
    const std::string n = std::to_string(pid);
    return Execute(kind == "watch" ? Lines{"BEGINWATCH", "pid: " + n, "psname: by" + n, "END;"}
                   : kind == "msg" ? Lines{"BEGINMSG", "pid: " + n, "pswset: 7", "END;"}
                                   : Lines{"BEGINMGMT", "stop: " + n, "END;"},
                   uid);
  }

  // "pid:owner:pswset" of every item.
  std::string Owners() {
    std::string text;
    for (const auto& [pid, item] : list.Snapshot()) {
      text += std::to_string(pid) + ":" + std::to_string(item.ownerUid) + ":" +
              std::to_string(item.info.psWSet) + " ";
    }
    return text;
  }

  size_t Warnings() { return log->Messages(Warning).size(); }

  FakeProcesses processes;  // only the pids of its table live
  WatchedList list{&processes};
};

// kWatch's last repeats win, numbers read as atoi (saturated), values lose blanks but not tabs.
TEST_F(WatchASCIIOrderTest, OrdersRegisterRefreshAndForgetOnlyWithANonZeroPid) {
  const std::tuple<Lines, int, size_t> steps[] = {
      {{"BEGINWATCH", "psname: nopid", "wdfreq: 5", "END;"}, 0, 0},
      {{"BEGINWATCH", "pid: 0", "END;"}, 0, 0},
      {kWatch, 1, 1},
      {{"BEGINMSG", "pswset: 9", "END;"}, 0, 1},
      {{"BEGINMSG", "pid: 99", "END;"}, 0, 1},
      {{"BEGINMGMT", "stop: 99", "END;"}, 1, 1},
      {{"BEGINMGMT", "END;"}, 1, 1}};
  Timestamp::controlledTimeAdd(-100);  // registered long ago
  for (const auto& [lines, result, tableSize] : steps) {
    EXPECT_EQ(result, Execute(lines)) << lines[1];
    EXPECT_EQ(tableSize, list.Size()) << lines[1];
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

// Each step is one order on a new connection; a refusal is logged once per user, order and reason
// per minute. Replacing its own item adds none to a user's count, and root has no cap.
TEST_F(WatchASCIIOrderTest, UsersActOnlyOnTheirOwnItemsAndProcessesUpToTheirCapWhileRootActsOnAll) {
  list.SetMaxWatchesPerUser(2);
  // Who sends which order for which pid; then the order's result, Owners(), the warnings it logs.
  const std::tuple<long, const char*, int, const char*> steps[] = {
      {1000, "watch", 100, "1 100:1000:0 0"},
      {1001, "watch", 100, "0 100:1000:0 1"},  // 1000's process
      {1001, "watch", 200, "1 100:1000:0 200:1001:0 0"},
      {1000, "msg", 200, "0 100:1000:0 200:1001:0 1"},
      {1000, "msg", 200, "0 100:1000:0 200:1001:0 0"},  // the same refusal again
      {1000, "mgmt", 200, "0 100:1000:0 200:1001:0 1"},
      {1000, "watch", 300, "0 100:1000:0 200:1001:0 1"},  // root's process
      {0, "watch", 300, "1 100:1000:0 200:1001:0 300:0:0 0"},
      {1000, "msg", 300, "0 100:1000:0 200:1001:0 300:0:0 0"},
      {1001, "mgmt", 300, "0 100:1000:0 200:1001:0 300:0:0 1"},
      {1000, "msg", 100, "1 100:1000:7 200:1001:0 300:0:0 0"},    // its own, reconnected
      {1000, "watch", 100, "1 100:1000:0 200:1001:0 300:0:0 0"},  // replaces its own
      {0, "msg", 200, "1 100:1000:0 200:1001:7 300:0:0 0"},
      {0, "watch", 200, "1 100:1000:0 200:0:0 300:0:0 0"},
      {1000, "watch", 101, "1 100:1000:0 101:1000:0 200:0:0 300:0:0 0"},
      {1000, "watch", 102, "0 100:1000:0 101:1000:0 200:0:0 300:0:0 1"},  // over the cap
      {1000, "watch", 101, "1 100:1000:0 101:1000:0 200:0:0 300:0:0 0"},
      {0, "watch", 301, "1 100:1000:0 101:1000:0 200:0:0 300:0:0 301:0:0 0"},
      {1000, "mgmt", 100, "1 101:1000:0 200:0:0 300:0:0 301:0:0 0"},
      {1000, "watch", 102, "1 101:1000:0 102:1000:0 200:0:0 300:0:0 301:0:0 0"},
      {1000, "watch", 100, "0 101:1000:0 102:1000:0 200:0:0 300:0:0 301:0:0 0"},
      {-1, "msg", 101, "0 101:1000:0 102:1000:0 200:0:0 300:0:0 301:0:0 1"},  // unknown: no root
      {-1, "mgmt", 200, "0 101:1000:0 102:1000:0 200:0:0 300:0:0 301:0:0 1"},
      {1000, "watch", -5, "0 101:1000:0 102:1000:0 200:0:0 300:0:0 301:0:0 1"},  // a group
      {0, "watch", -5, "0 101:1000:0 102:1000:0 200:0:0 300:0:0 301:0:0 1"},
      {1000, "watch", 999, "0 101:1000:0 102:1000:0 200:0:0 300:0:0 301:0:0 1"},  // no process
      {0, "watch", 999, "0 101:1000:0 102:1000:0 200:0:0 300:0:0 301:0:0 1"},
  };
  for (const auto& [uid, kind, pid, resultTableWarnings] : steps) {
    const size_t warnings = Warnings();
    const int result = Order(uid, kind, pid);
    EXPECT_EQ(resultTableWarnings,
              std::to_string(result) + " " + Owners() + std::to_string(Warnings() - warnings))
        << uid << " " << kind << " " << pid;
  }
  EXPECT_EQ(Lines{"[WatchedList] WARNING : watch order for pid 100 from uid 1001 refused: the "
                  "process belongs to another user"},
            Lines{log->Messages().at(0)});
}

// Without published rules every order registers, under its connection's user.
TEST_F(WatchASCIIOrderTest, UnderAccessRulesOnlyAdmittedCommandsFromKnownUsersRegister) {
  Handle<TlConfiguration> store(new TlConfiguration());
  store->AtGlobalPut("GLOBAL.WATCHMGR.ALLOWEDCOMMANDS", "/opt/app/run.sh|kill [0-9]+");
  AccessPolicy policy(0);
  std::string error;
  ASSERT_TRUE(policy.Configure(*store, error)) << error;
  AccessPolicy::Publish(&policy);
  const auto watch = [](long uid, const std::string& start, const std::string& stop) {
    return Execute({"BEGINWATCH", "pid: 100", "psstart: " + start, "psstop: " + stop, "END;"}, uid);
  };
  EXPECT_EQ(1, watch(1000, "/opt/app/run.sh", ""));
  EXPECT_EQ("100:1000:0 ", Owners());
  list.DeleteWatch(100);
  EXPECT_EQ(0, watch(1000, "/opt/app/run.sh", "kill -9 1"));
  EXPECT_EQ(0, watch(1000, "/opt/app/other.sh", "kill 1"));
  EXPECT_EQ(0, watch(-1, "/opt/app/run.sh", "kill 1"));
  EXPECT_EQ("", Owners());
  AccessPolicy::Publish(nullptr);
  EXPECT_EQ(1, watch(-1, "anything at all", "really"));
  EXPECT_EQ("100:-1:0 ", Owners());
}

}  // namespace
