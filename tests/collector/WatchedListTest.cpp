#include <pwd.h>
#include <spawn.h>

#include <future>

#include "Cnx.h"
#include "FakeProcesses.h"
#include "ListenPort.h"
#include "LoggedCount.h"
#include "WatchASCIIOrder.h"

// 0: this thread's next allocation fails with std::bad_alloc, and none after it; -1: none fails.
// Lets a test make a table operation fail halfway, with its lock held.
thread_local int allocationsBeforeFailure = -1;

void* operator new(size_t size) {
  if (allocationsBeforeFailure == 0) {
    allocationsBeforeFailure = -1;
    throw std::bad_alloc();
  }
  if (void* block = malloc(size > 0 ? size : 1)) {
    return block;
  }
  throw std::bad_alloc();
}
// Both operators are the replacements here, so free() matches the malloc() behind new.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* block) noexcept { free(block); }
void operator delete(void* block, size_t) noexcept { free(block); }
#pragma GCC diagnostic pop

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Judged on its errors: a wrong item has made one error more than it may, so every pass finds it
// wrong at once; a right one turns wrong once a heartbeat reports an error. Without a stop or start
// command given, they are "stop <pid>" and "start <pid>".
WatchedItem Item(int pid, bool wrong = true, const char* stop = nullptr,
                 const char* start = nullptr) {
  const std::string id = std::to_string(pid);
  WatchedItem item;
  item.info.pid = pid;
  item.info.psErrors = wrong ? 1 : 0;
  item.settings.psStop = (stop != nullptr ? std::string(stop) : "stop " + id).c_str();
  item.settings.psStart = (start != nullptr ? std::string(start) : "start " + id).c_str();
  item.settings.errorsOn = 1;
  item.settings.maxErrors = 0;
  return item;
}

// Registered without the checks of a client's order.
void Add(WatchedList& list, WatchedItem item) { list.CreateNewWatch(item); }

// A heartbeat of pid from uid that reports errors, and the end when given.
WatchedList::Verdict Heartbeat(WatchedList& list, int pid, long uid, int errors = 0,
                               const WatchedList::EndReport* end = nullptr) {
  ProcessInfo info;
  info.pid = pid;
  info.psErrors = errors;
  return list.Beat(info, uid, end);
}

std::map<int, WatchState> States(WatchedList& list) {
  std::map<int, WatchState> states;
  for (const auto& [pid, item] : list.Snapshot()) {
    states[pid] = item.state;
  }
  return states;
}

// Starts `sleep 30`; with termBlocked, the SIGTERM of a polite stop command never reaches it.
pid_t StartSleep(bool termBlocked) {
  sigset_t term, saved;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  pthread_sigmask(termBlocked ? SIG_BLOCK : SIG_UNBLOCK, &term, &saved);  // the child's mask
  pid_t pid = 0;
  char* argv[] = {const_cast<char*>("sleep"), const_cast<char*>("30"), nullptr};
  EXPECT_EQ(0, posix_spawnp(&pid, "sleep", nullptr, nullptr, argv, environ));
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  return pid;
}

class WatchedListTest : public LoggingTest {
 protected:
  void SetUp() override {
    LogServer::Instance()->setAcceptSeverityUpTo(Warning);
    port.state = ListenPort::kRunning;
  }

  // The pass's debug lines, one a line, each without the routine's name that tags it.
  std::string PassLines() {
    std::string lines;
    for (const auto& record : log->Records()) {
      lines += record.tag == "[WatchedList::ProcessBlock]" ? record.message + "\n" : "";
    }
    return lines;
  }

  ListenPort port;
  FakeProcesses processes;
};

// Of three real processes one obeys its stop command, one ignores it until "kill -9" and one is
// gone already; each start command leaves a file named after the pid.
TEST_F(WatchedListTest, WrongItemsRestartInPidOrderAndLeaveWithTheirSequence) {
  LogServer::Instance()->setAcceptSeverityUpTo(Debug3);
  TempDir dir;
  const pid_t polite = StartSleep(false), deaf = StartSleep(true), gone = StartSleep(false);
  kill(gone, SIGKILL);
  ASSERT_EQ(gone, waitpid(gone, nullptr, 0));
  processes.real = true;
  WatchedList list(&processes, WatchedList::Waits{8, 100, 100, 10, 0, 5});
  list.SetMaxParallelRestarts(1);
  Timestamp::controlledTimeAdd(-10);  // registered ten seconds ago, with a heartbeat every second
  const std::set<pid_t> pids = {polite, deaf, gone};
  for (auto pid = pids.rbegin(); pid != pids.rend(); ++pid) {  // the highest first
    const std::string id = std::to_string(*pid);
    WatchedItem item =
        Item(*pid, false, ("kill " + id).c_str(), ("echo > " + dir.Join(id)).c_str());
    item.settings.heartbeatOn = 1;
    item.settings.wdFreq = 1;
    list.CreateNewWatch(item);
  }
  Timestamp::controlledTimeResume();
  // Orders sent during a stop command are carried out at once.
  Add(list, Item(getpid(), false));
  processes.onLaunch = [&](const std::string& command) {
    if (command != "kill " + std::to_string(polite)) {
      return;
    }
    auto orders = std::async(std::launch::async, [&] {
      EXPECT_EQ(WatchedList::NotFound, Heartbeat(list, deaf, 0));
      EXPECT_EQ(WatchedList::Done, Heartbeat(list, getpid(), 0));
      EXPECT_EQ(WatchedList::Done, list.Forget(getpid(), 0));
    });
    EXPECT_EQ(std::future_status::ready, orders.wait_for(std::chrono::seconds(2)));
  };
  EXPECT_EQ(1, list.ProcessBlock(&port));
  EXPECT_EQ((std::map<int, int>{{polite, SIGTERM}, {deaf, SIGKILL}}), processes.endedBy);
  // Waits hold no worker, so the three sequences interleave; each keeps its own order.
  for (pid_t pid : pids) {
    const std::string id = std::to_string(pid);
    EXPECT_TRUE(WaitUntil([&] { return access(dir.Join(id).c_str(), F_OK) == 0; }, 2000))
        << "no start for " << id;
    EXPECT_EQ((pid == gone ? "" : "kill " + id + "\n") +
                  (pid == deaf ? "kill -9 " + id + " (fg)\n" : "") + "echo > " + dir.Join(id) +
                  "\n",
              processes.Commands({"kill " + id, "kill -9 " + id, "echo > " + dir.Join(id)}));
  }
  EXPECT_EQ(6u, processes.launches.size()) << processes.Commands();
  // Between the deaf process's stop command and its "kill -9" come its eight grace checks, and at
  // most the polite process's first check: its background "kill" has a whole 100 ms step to land.
  const std::string lines = PassLines(), deafId = std::to_string(deaf);
  const size_t stopping = lines.find("STOPPING process with kill " + deafId + "\n");
  const size_t killing = lines.find("INFO : KILLING process ID " + deafId + "\n");
  ASSERT_TRUE(stopping != lines.npos && killing != lines.npos) << lines;
  int checks = 0;
  for (size_t at = stopping; (at = lines.find("still in list", at)) < killing; ++at) {
    ++checks;
  }
  EXPECT_TRUE(checks >= 8 && checks <= (polite > deaf ? 9 : 8)) << checks;
  // The emptied table ends the loop at the next pass: one empty pass, the last line.
  const std::string last = "INFO : Empty Process List (time to live 1 s)\n";
  EXPECT_EQ(lines.size() - last.size(), lines.find("INFO : Empty"));
}

// An error object from below passes through the loop unchanged and leaves the table unlocked. A
// listener that stops ends the loop at once, though a sequence still waits out its pause: nothing
// is started, and the restart is logged as abandoned.
TEST_F(WatchedListTest,
       LoopEndsAfterSixtyEmptyPassesWithAnErrorObjectOrAtOnceWhenTheListenerStops) {
  LogServer::Instance()->setAcceptSeverityUpTo(Debug3);
  constexpr unsigned kPauseMs = 1500;
  WatchedList list(&processes, WatchedList::Waits{1, 10, 1, 10, kPauseMs, 1, 60});
  EXPECT_EQ(1, list.ProcessBlock(&port));
  std::string countdown;
  for (int ttl = 60; ttl >= 1; --ttl) {
    countdown += "INFO : Empty Process List (time to live " + std::to_string(ttl) + " s)\n";
  }
  EXPECT_EQ(countdown, PassLines());
  EXPECT_EQ(0, StopProcess(-1, processes));  // "kill -9 -1" would hit every process we may signal
  EXPECT_EQ("", processes.Commands());

  // Raised in a restart sequence, on a worker: the item leaves with its sequence.
  processes.onLaunch = [](const std::string&) { throw BError("FakeProcesses", "test"); };
  Add(list, Item(3, true));
  try {
    list.ProcessBlock(&port);
    ADD_FAILURE() << "no error object";
  } catch (BError& error) {
    EXPECT_EQ("FakeProcesses|test", error.From() + "|" + error.Message());
  }
  EXPECT_EQ(WatchedList::ListEnded, list.runState.load());
  auto size = std::async(std::launch::async, [&] { return list.Size(); });
  // On failure the lock is released by hand, or the waiting thread would never end.
  ASSERT_EQ(std::future_status::ready, size.wait_for(std::chrono::seconds(2))) << list.Unlock();
  EXPECT_EQ(0u, size.get());

  processes.onLaunch = nullptr;
  Add(list, Item(7));
  const auto begun = Clock::now();
  std::thread stopper([&] {
    if (WaitUntil([&] { return processes.Launched("stop 7"); }, 2000)) {
      std::this_thread::sleep_for(milliseconds(100));
      port.state = ListenPort::kStopping;
    }
  });
  EXPECT_EQ(1, list.ProcessBlock(&port));
  stopper.join();
  EXPECT_LT(Clock::now() - begun, milliseconds(kPauseMs));
  EXPECT_FALSE(processes.Launched("start 7"));
  EXPECT_EQ(0u, list.Size());
  EXPECT_EQ(1u, Logged(*log, "restart of  (pid 7) abandoned"));
}

// 32 clients order 1,000 pids while the passes run: every seventh pid is wrong (restarted and
// dropped), every third forgotten by its client, every fifth registered again under another name.
TEST_F(WatchedListTest, ThirtyTwoClientsAndThePassesLeaveTheTableAsTheOrdersSay) {
  WatchedList list(&processes, WatchedList::Waits{1, 0, 100, 0, 0, 1});
  pepoWatchedList = &list;
  Add(list, Item(1001, false));  // keeps the table from emptying
  processes.onLaunch = [&](const std::string& command) {
    if (command == "last") {
      port.state = ListenPort::kStopping;
    }
  };
  std::thread pass([&] { list.ProcessBlock(&port); });
  std::vector<std::future<void>> clients;
  for (int t = 0; t < 32; ++t) {
    clients.push_back(std::async(std::launch::async, [t] {
      WatchASCIIOrder order;
      Cnx connection;
      for (int pid = t + 1; pid <= 1000; pid += 32) {
        const std::string n = std::to_string(pid);
        const std::string watch =
            "BEGINWATCH\npid: " + n + "\nmaxerrors: 0\npserrors: " + (pid % 7 == 0 ? "1" : "0");
        std::string text = watch + "\npsname: first\nEND;\n";
        text += pid % 5 == 0 ? watch + "\npsname: again\nEND;\n" : "";
        text += pid % 7 != 0 ? "BEGINMSG\npid: " + n + "\npsnomwset: " + n + "\nEND;\n" : "";
        text += pid % 3 == 0 ? "BEGINMGMT\nstop: " + n + "\nEND;\n" : "";
        for (size_t at = 0, end; (end = text.find('\n', at)) != text.npos; at = end + 1) {
          String line(text.c_str() + at, static_cast<int>(end - at));
          if (order.ProcessLine(line) == 1) {
            order.ExecuteOrder(connection);
            order.Reset();
          }
        }
      }
    }));
  }
  clients.clear();  // waits for every client
  // Restarted by a pass that walks the final table, it takes the listener out of Running.
  Add(list, Item(2000, true, "", "last"));
  pass.join();
  pepoWatchedList = nullptr;
  EXPECT_EQ(WatchedList::ListEnded, list.runState.load());

  std::map<int, std::string> expected = {{1001, " 0"}}, actual;
  for (const auto& [pid, item] : list.Snapshot()) {
    actual[pid] = std::string(item.settings.psName) + " " + std::to_string(item.info.psNomWSet);
  }
  for (int pid = 1; pid <= 1000; ++pid) {
    if (pid % 3 != 0 && pid % 7 != 0) {
      expected[pid] = (pid % 5 == 0 ? "again " : "first ") + std::to_string(pid);
    }
  }
  EXPECT_EQ(expected, actual);
}

// Process 77 ignores its stop command "stop" until "kill -9"; "stop 77" stops it. A pid another
// process took over reads as gone wherever in the cycle it changed hands, so it is never signalled.
// Every start command waits the pause after the stop, and the lone item keeps the loop going.
TEST_F(WatchedListTest, RootDaemonRunsARegistrantsCommandsAsThatUserAndSignalsOnlyItsProcesses) {
  constexpr unsigned kPauseMs = 300;
  struct Case {
    uid_t daemonUid;
    long ownerUid;
    uid_t processOwner;
    const char* stop;
    std::string reuseAt;  // the command at which another process takes the pid
    std::string launched;
    const char* error;  // part of the one Error record, "" when none
  };
  // An account whose group differs from its user: the owner check must compare users.
  setpwent();
  const passwd* account = getpwent();
  while (account != nullptr && (account->pw_uid == 0 || account->pw_uid == account->pw_gid)) {
    account = getpwent();
  }
  ASSERT_NE(nullptr, account) << "no account whose group id differs from its user id";
  const uid_t splitUid = account->pw_uid;
  const std::string split = std::to_string(splitUid) + "/" + std::to_string(account->pw_gid);
  endpwent();
  const Case kCases[] = {
      {0, splitUid, splitUid, "stop", "",
       split + " stop\n" + split + " kill -9 77 (fg)\n" + split + " start\n", ""},
      {0, 65534, 0, "stop", "", "65534/65534 stop\n65534/65534 start\n",
       "process ID 77 belongs to uid 0, not to uid 65534 who registered it: kill -9 not sent"},
      {0, 0, 0, "stop", "", "stop\nkill -9 77 (fg)\nstart\n", ""},
      {0, -1, 0, "stop", "", "stop\nkill -9 77 (fg)\nstart\n", ""},
      {1000, 65534, 65534, "stop", "", "stop\nkill -9 77 (fg)\nstart\n", ""},
      {0, 424242, 424242, "stop", "", "",
       "is neither stopped nor started, its owner's identity is unknown: "
       "no account has uid 424242"},
      {0, 0, 0, "stop 77", "", "stop 77\nstart\n", ""},
      {0, 0, 0, "stop", "register", "start\n", ""},
      {0, 0, 0, "stop", "stop", "stop\nstart\n", ""},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(&c - kCases);
    FakeProcesses fake;
    fake.daemonUid = c.daemonUid;
    fake.owner = c.processOwner;
    fake.onLaunch = [&](const std::string& command) {
      if (command == c.reuseAt) {
        fake.Reuse(77);
      }
    };
    WatchedList list(&fake, WatchedList::Waits{2, 1, 2, 1, kPauseMs, 0, 1});
    WatchedItem item = Item(77, true, c.stop, "start");
    item.ownerUid = c.ownerUid;
    list.CreateNewWatch(item);
    if (c.reuseAt == "register") {
      fake.Reuse(77);
    }
    log->Clear();
    EXPECT_EQ(1, list.ProcessBlock(&port));
    EXPECT_EQ(c.launched, fake.Commands());
    const size_t count = fake.launches.size();
    if (count >= 2) {
      EXPECT_GE(fake.launches[count - 1].at - fake.launches[count - 2].at, milliseconds(kPauseMs));
    }
    std::string errors;  // those of the restart, not the health check's
    for (const std::string& message : log->Messages(Error)) {
      errors += message.find("IsSomethingWrong") == std::string::npos ? message + "\n" : "";
    }
    EXPECT_EQ(*c.error != '\0', !errors.empty() && errors.find(c.error) != errors.npos) << errors;
  }
}

// Item 10 ignores its stop command and sits in a 3 s grace wait; item 20, wrong meanwhile, is
// restarted from start to end before that wait ends, though only one step may run at a time.
TEST_F(WatchedListTest, OrdersLeaveAnItemToItsHangingStopWhichDelaysNoOtherRestart) {
  processes.deaf = {10};
  WatchedList list(&processes, WatchedList::Waits{300, 10, 5, 10, 50, 20});
  list.SetMaxParallelRestarts(1);  // a sequence that waits holds no worker
  WatchedItem hanging = Item(10), again = Item(10, false);
  ASSERT_EQ(WatchedList::Done, list.Watch(hanging, 0));
  Add(list, Item(20, false));
  std::thread loop([&] { list.ProcessBlock(&port); });
  ASSERT_TRUE(WaitUntil([&] { return processes.Launched("stop 10"); }, 2000));
  EXPECT_EQ(WatchedList::NotFound, Heartbeat(list, 10, 0));
  EXPECT_EQ(WatchedList::NotFound, list.Forget(10, 0));
  EXPECT_EQ(WatchedList::UnderRestart, list.Watch(again, 0));
  const auto beat = Clock::now();
  EXPECT_EQ(WatchedList::Done, Heartbeat(list, 20, 0, 1));
  EXPECT_LT(Clock::now() - beat, milliseconds(200)) << "the heartbeat waited";
  Clock::time_point stopped;
  EXPECT_TRUE(WaitUntil([&] { return processes.Launched("start 20"); }, 2000));
  ASSERT_TRUE(processes.Launched("stop 20", &stopped));
  EXPECT_LT(stopped - beat, milliseconds(500));
  EXPECT_FALSE(processes.Launched("start 10")) << "20 waited for 10's sequence";
  EXPECT_EQ((std::map<int, WatchState>{{10, ItemRestarting}}), States(list));
  processes.Reuse(10);  // another process holds 10 from now on
  EXPECT_EQ(WatchedList::Done, list.Watch(again, 0));
  EXPECT_TRUE(WaitUntil([&] { return processes.Launched("start 10"); }, 5000));
  port.state = ListenPort::kStopping;
  loop.join();
  EXPECT_FALSE(processes.Launched("kill -9 10"));
  EXPECT_EQ((std::map<int, WatchState>{{10, ItemWatching}}), States(list));
}

// Five items go wrong at once with room for two steps at a time, while every launch takes its time.
TEST_F(WatchedListTest, WrongItemsBeyondTheLimitWaitTheirTurnAndThenRun) {
  processes.deaf = {1, 2, 3, 4, 5};
  processes.gated = true;
  WatchedList list(&processes, WatchedList::Waits{2, 10, 5, 10, 0, 10});
  list.SetMaxParallelRestarts(2);
  std::map<int, WatchState> twoOfFive;
  for (int pid = 1; pid <= 5; ++pid) {
    Add(list, Item(pid));
    twoOfFive[pid] = pid <= 2 ? ItemRestarting : ItemWaiting;
  }
  std::thread loop([&] { list.ProcessBlock(&port); });
  EXPECT_TRUE(WaitUntil([&] { return States(list) == twoOfFive && processes.inside.load() == 2; },
                        2000, 1));
  processes.Open();
  loop.join();
  for (int pid = 1; pid <= 5; ++pid) {
    EXPECT_TRUE(processes.Launched("kill -9 " + std::to_string(pid))) << pid;
    EXPECT_TRUE(processes.Launched("start " + std::to_string(pid))) << pid;
  }
  EXPECT_EQ(2, processes.maxInside);
  EXPECT_EQ(0u, list.Size());
}

// The table is as it was and its lock is free for the next order.
TEST_F(WatchedListTest, AnOrderThatRunsOutOfMemoryLeavesTheTableUnlockedAndUnchanged) {
  WatchedList list(&processes);
  Add(list, Item(5, false));
  const std::function<void(WatchedItem&)> kOrders[] = {
      [&](WatchedItem& item) { list.Watch(item, 0); },
      [&](WatchedItem& item) { list.CreateNewWatch(item); },
  };
  for (const auto& order : kOrders) {
    WatchedItem item = Item(6, false);
    allocationsBeforeFailure = 0;  // the table's new node
    EXPECT_THROW(order(item), std::bad_alloc);
    allocationsBeforeFailure = -1;
    auto table = std::async(std::launch::async, [&] { return States(list); });
    ASSERT_EQ(std::future_status::ready, table.wait_for(std::chrono::seconds(2))) << list.Unlock();
    EXPECT_EQ((std::map<int, WatchState>{{5, ItemWatching}}), table.get());
  }
}

// A program that dies at once, again and again: each end it reports starts its restart without a
// pass (the passes are 10 s apart). A pid below 1 names a process group ("kill -9 -5" would hit
// every member); the end report that follows the refused registration of a gone process restarts
// it, never signalling the pid.
TEST_F(WatchedListTest,
       ReportedEndsRestartAtOnceUntilTheNameFailsAndAGoneRegistrationButGroupsNeverRegister) {
  WatchedList list(&processes, WatchedList::Waits{2, 10, 2, 10, 0, 10000, 10});
  list.SetRestartSettings({100, 600 * 1000, 300 * 1000, 3});  // first delay, window, cap, limit
  WatchedList::EndReport end{Exit, "exit 1"};
  for (int pid = 100; pid < 104; ++pid) {
    WatchedItem item = Item(pid, false);
    item.settings.psName = "crashy";
    list.CreateNewWatch(item);
    EXPECT_FALSE(list.StartUnderWay("crashy", 10000)) << "registered since";
    processes.SetDead(pid, true);  // it exited: no stop command, no kill
    ASSERT_EQ(WatchedList::Done, Heartbeat(list, pid, -1, 0, &end));
    if (pid < 103) {
      const std::string id = std::to_string(pid);
      ASSERT_TRUE(WaitUntil([&] { return processes.Launched("start " + id); }, 3000)) << pid;
      EXPECT_FALSE(processes.Launched("stop " + id));
      // Until the new process registers, the program files' keeper must not start another.
      EXPECT_TRUE(WaitUntil([&] { return list.StartUnderWay("crashy", 10000); }, 1000)) << pid;
      EXPECT_FALSE(list.StartUnderWay("crashy", 0));
    }
  }
  EXPECT_TRUE(WaitUntil([&] { return list.Size() == 0; }, 3000));
  EXPECT_EQ(WatchedList::NotFound, list.Reset("nobody", 0));
  EXPECT_EQ(WatchedList::OtherUsersItem, list.Reset("crashy", 5));
  EXPECT_FALSE(processes.Launched("start 103"));
  EXPECT_EQ(WatchedList::Done, list.Reset("crashy", -1));
  EXPECT_TRUE(WaitUntil([&] { return processes.Launched("start 103"); }, 2000));

  processes.SetDead(39, true);
  processes.SetDead(40, true);
  for (int pid : {-5, -1, 0, 39}) {
    for (long uid : {0L, 65534L, -1L}) {
      WatchedItem item = Item(pid, true, "stop", "start");
      EXPECT_NE(WatchedList::Done, list.Watch(item, uid)) << pid << " by " << uid;
    }
  }
  WatchedItem roots = Item(41, false);
  EXPECT_EQ(WatchedList::NotOwnProcess, list.Watch(roots, 65534));
  EXPECT_EQ(0u, list.Size());
  WatchedItem item = Item(40, false);
  item.settings.psName = "quick";
  EXPECT_EQ(WatchedList::NoSuchProcess, list.Watch(item, -1));
  EXPECT_EQ(WatchedList::Done, list.Watch(roots, 0));
  EXPECT_EQ(1u, list.Size());
  EXPECT_EQ(WatchedList::NotFound, Heartbeat(list, 40, -1));
  EXPECT_EQ(WatchedList::NotFound, Heartbeat(list, 40, 7, 0, &end));
  processes.SetDead(40, false);  // the pid is taken by a stranger meanwhile
  EXPECT_EQ(WatchedList::Done, Heartbeat(list, 40, -1, 0, &end));
  EXPECT_TRUE(WaitUntil([&] { return processes.Launched("start 40"); }, 2000));
  EXPECT_EQ("start 40\n", processes.Commands({"stop 40", "kill -9 40", "start 40"}));
  // Taken once: a second report finds nothing.
  EXPECT_EQ(WatchedList::NotFound, Heartbeat(list, 40, -1, 0, &end));
}

TEST_F(WatchedListTest, OnlyWellFormedEndReportsRestartAnything) {
  const std::pair<const char*, int> cases[] = {
      {"psdown: exit 0", 1},    {"psdown: exit 255", 1},  {"psdown: signal 9", 1},
      {"psdown: probe", 1},     {"PSDOWN: probe", 1},     {"psdown: exit 256", 0},
      {"psdown: signal 0", 0},  {"psdown: signal 65", 0}, {"psdown: exit -1", 0},
      {"psdown: exit 1x", 0},   {"psdown: exit", 0},      {"psdown: crash", 0},
      {"psdown: exit 0001", 0}, {"psdown: ", 0}};
  for (const auto& [down, accepted] : cases) {
    WatchASCIIOrder order;
    for (const char* text : {"BEGINMSG", "pid: 7", down, "END;"}) {
      String line(text);
      order.ProcessLine(line);
    }
    WatchedList::EndReport end;
    EXPECT_EQ(accepted, order.EndReportFromBody(end)) << down;
    EXPECT_EQ(accepted == 1, end.reason != NoReason) << down;
  }
}

}  // namespace
