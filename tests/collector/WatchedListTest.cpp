#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "BError.h"
#include "CapturingLogDevice.h"
#include "Cnx.h"
#include "ListenPort.h"
#include "LogServer.h"
#include "TempDir.h"
#include "Timestamp.h"
#include "WatchASCIIOrder.h"
#include "WatchedList.h"

namespace {

const std::string kPass = "[WatchedList::ProcessBlock]";

bool WaitUntil(const std::function<bool()>& done) {
  for (int waited = 0; !done(); waited += 5) {
    if (waited > 2000) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// Processes that live only in a table: "stop <pid>" ends one that obeys its
// stop command, "kill -9 <pid>" any but an unkillable one, unless launches
// fail.
class FakeProcesses : public WatchedList::ProcessServices {
 public:
  enum Fate { kGone, kObeysStop, kIgnoresStop, kUnkillable };

  int CheckPID(int pid) override { return fates.count(pid) != 0 && fates[pid] != kGone; }
  int CommandLunch(String& command, int mode) override {
    launched += std::string(command.chars()) + (mode == 1 ? " (fg)\n" : "\n");
    int pid = 0;
    if (sscanf(command.chars(), "stop %d", &pid) == 1 && fates[pid] == kObeysStop) {
      fates[pid] = kGone;
    }
    if (sscanf(command.chars(), "kill -9 %d", &pid) == 1 && fates[pid] != kUnkillable &&
        launchResult == 1) {
      fates[pid] = kGone;
    }
    if (onLaunch) {
      onLaunch(command.chars());
    }
    return launchResult;
  }

  std::map<int, Fate> fates;
  std::string launched;  // one command a line
  int launchResult = 1;
  std::function<void(const std::string&)> onLaunch;
};

// A wrong item has made one error more than it may, so every pass finds it
// wrong at once.
WatchedItem Item(int pid, bool wrong, const std::string& stop = "", const std::string& start = "") {
  WatchedItem item;
  item.info.pid = pid;
  item.settings.psName = ("p" + std::to_string(pid)).c_str();
  item.settings.psStop = stop.c_str();
  item.settings.psStart = start.c_str();
  item.settings.errorsOn = wrong ? 1 : 0;
  item.settings.maxErrors = 0;
  item.info.psErrors = 1;
  return item;
}

WatchedList::Waits Tiny(int graceAttempts = 3, int killAttempts = 2, unsigned stepMs = 0) {
  WatchedList::Waits waits;
  waits.graceAttempts = graceAttempts;
  waits.killAttempts = killAttempts;
  waits.graceStepMs = waits.killStepMs = stepMs;
  waits.restartPauseMs = waits.passSleepMs = 0;
  return waits;
}

// A `sleep 30` child reaped by a thread of its own the moment it ends, so its
// pid really disappears (a zombie would still answer a probe). With
// termBlocked, the SIGTERM of a polite stop command never reaches it.
class Sleeper {
 public:
  explicit Sleeper(bool termBlocked) {
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t mask;
    sigemptyset(&mask);
    if (termBlocked) {
      sigaddset(&mask, SIGTERM);
    }
    posix_spawnattr_setsigmask(&attributes, &mask);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    char* argv[] = {const_cast<char*>("sleep"), const_cast<char*>("30"), nullptr};
    EXPECT_EQ(0, posix_spawnp(&pid, "sleep", nullptr, &attributes, argv, environ));
    posix_spawnattr_destroy(&attributes);
    reaper = std::thread([this] {
      int status = 0;
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      ended = WIFSIGNALED(status) ? WTERMSIG(status) : -1;
    });
  }
  ~Sleeper() {
    if (ended.load() == 0) {
      kill(pid, SIGKILL);
    }
    reaper.join();
  }
  // The signal that ended the process; 0 while it runs after a wait.
  int EndedBy() {
    WaitUntil([this] { return ended.load() != 0; });
    return ended.load();
  }

  pid_t pid = 0;

 private:
  std::atomic<int> ended{0};
  std::thread reaper;
};

class WatchedListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log = CapturingLogDevice::Install(LogServer::Instance());
    LogServer::Instance()->setAcceptSeverityUpTo(Debug3);
    port.state = ListenPort::kRunning;
  }
  void TearDown() override { LogServer::DeleteInstance(); }

  // The pass's debug lines, one a line. Untagged records are tagged with the
  // routine's name, which leaves the rest of the text as their message.
  std::string PassLines() {
    std::string lines;
    for (const auto& record : log->Records()) {
      lines += record.tag == kPass ? record.message + "\n" : "";
    }
    return lines;
  }
  size_t CountLines(const std::string& part) {
    size_t count = 0;
    const std::string lines = PassLines();
    for (size_t at = lines.find(part); at != lines.npos; at = lines.find(part, at + 1)) {
      ++count;
    }
    return count;
  }

  std::shared_ptr<CapturingLogDevice::Log> log;
  ListenPort port;
  FakeProcesses fake;
};

TEST_F(WatchedListTest, WrongItemsRestartInPidOrderAndLeaveWithTheirPass) {
  WatchedList list(&fake, Tiny());
  fake.fates = {{10, FakeProcesses::kObeysStop}, {20, FakeProcesses::kIgnoresStop}};
  // A heartbeat sent during a restart waits for the end of the pass, which
  // has dropped its pid by then.
  std::future<int> beat;
  fake.onLaunch = [&](const std::string& command) {
    if (command == "stop 10") {
      beat = std::async(std::launch::async, [&] {
        ProcessInfo info;
        info.pid = 30;
        return list.UpdateWatchedItem(info);
      });
      EXPECT_EQ(std::future_status::timeout, beat.wait_for(std::chrono::milliseconds(50)));
    }
  };
  for (int pid : {30, 20, 10}) {
    WatchedItem item =
        Item(pid, true, "stop " + std::to_string(pid), "start " + std::to_string(pid));
    list.CreateNewWatch(item);
  }
  EXPECT_EQ(1, list.ProcessBlock(&port));
  EXPECT_EQ(WatchedList::ListEnded, list.runState.load());
  EXPECT_EQ(0u, list.Size());
  EXPECT_EQ(0, beat.get());
  EXPECT_EQ("stop 10\nstart 10\nstop 20\nkill -9 20 (fg)\nstart 20\nstart 30\n", fake.launched);
  EXPECT_EQ(R"(INFO : Checking ProcessList : 3 items
INFO : Checking item : p10, pid=10, last seen=0
Stop  Cmd = 'stop 10'
Start Cmd = 'start 10'
INFO : STOPPING process with stop 10
INFO , process pid has been removed.
INFO , Starting new Process : start 10
INFO : Checking item : p20, pid=20, last seen=0
Stop  Cmd = 'stop 20'
Start Cmd = 'start 20'
INFO : STOPPING process with stop 20
INFO , process pid is still in list ...
INFO , process pid is still in list ...
INFO , process pid is still in list ...
INFO : KILLING process ID 20
INFO , process has benn signaled successfully
INFO , process pid has been removed.
INFO , Starting new Process : start 20
INFO : Checking item : p30, pid=30, last seen=0
Stop  Cmd = 'stop 30'
Start Cmd = 'start 30'
INFO , Starting new Process : start 30
INFO : Empty Process List (time to live 1 s)
)",
            PassLines());
  fake.launched.clear();
  EXPECT_EQ(0, StopProcess(-1, fake));  // a process group: nothing is launched
  EXPECT_EQ("", fake.launched);
}

TEST_F(WatchedListTest, FailedLaunchesAndASurvivorAreErrorsButTheSequenceGoesOn) {
  WatchedList list(&fake, Tiny());
  fake.fates = {{7, FakeProcesses::kUnkillable}, {8, FakeProcesses::kIgnoresStop}};
  fake.launchResult = 0;
  WatchedItem polite = Item(7, true, "stop 7", "start 7");
  WatchedItem silent = Item(8, true);
  list.CreateNewWatch(polite);
  list.CreateNewWatch(silent);
  LogServer::Instance()->StartQueueing();  // only a flush writes records out
  EXPECT_EQ(1, list.ProcessBlock(&port));
  // The last error was flushed; the empty-table line after it still waits.
  EXPECT_EQ(kPass + " ERROR : Unable to START ", log->Records().back().message);
  LogServer::Instance()->Flush();
  EXPECT_EQ(0u, list.Size());
  EXPECT_EQ("stop 7\nkill -9 7 (fg)\nstart 7\nkill -9 8 (fg)\n\n", fake.launched);
  EXPECT_EQ(10u, CountLines("still in list"));  // both waits in full, for both
  EXPECT_EQ(1u, CountLines("STOPPING"));
  std::string errors;
  for (const auto& record : log->Records()) {
    if (record.severity == Error && record.message.rfind("[WatchedItem", 0) != 0) {
      errors += record.code + " " + record.tag + " " + record.message + "\n";
    }
  }
  EXPECT_EQ(R"(DL30000 GENERIC [WatchedList::ProcessBlock] ERROR : Unable to STOP with stop 7
DL30000 GENERIC [StopProcess] ERROR : Unable to kill process : kill -9 7
DL30000 GENERIC [WatchedList::ProcessBlock] ERROR : Unable to Kill PID p7
DL30000 GENERIC [WatchedList::ProcessBlock] ERROR : Process is still alive after Kill sequence
DL30000 GENERIC [WatchedList::ProcessBlock] ERROR : Unable to START start 7
DL30000 GENERIC [StopProcess] ERROR : Unable to kill process : kill -9 8
DL30000 GENERIC [WatchedList::ProcessBlock] ERROR : Unable to Kill PID p8
DL30000 GENERIC [WatchedList::ProcessBlock] ERROR : Process is still alive after Kill sequence
)" + ("DL30000 GENERIC " + kPass) +
                " ERROR : Unable to START \n",
            errors);
}

TEST_F(WatchedListTest, EmptyTableLivesSixtyPasses) {
  WatchedList idle(&fake, Tiny());
  EXPECT_EQ(1, idle.ProcessBlock(&port));
  std::string countdown;
  for (int ttl = 60; ttl >= 1; --ttl) {
    countdown += "INFO : Empty Process List (time to live " + std::to_string(ttl) + " s)\n";
  }
  EXPECT_EQ(countdown, PassLines());
}

TEST_F(WatchedListTest, LoopEndsAtTheNextPassOnceTheTableEmptiesOrTheListenerStops) {
  WatchedList::Waits waits = Tiny();
  waits.passSleepMs = 5;
  WatchedList list(&fake, waits);
  for (bool stopListener : {false, true}) {
    log->Clear();
    port.state = ListenPort::kRunning;
    WatchedItem item = Item(5, false);
    list.CreateNewWatch(item);
    std::thread pass([&] { list.ProcessBlock(&port); });
    EXPECT_TRUE(WaitUntil([&] { return CountLines("Checking ProcessList : 1 items") > 0; }));
    if (stopListener) {
      port.state = ListenPort::kStopping;
    } else {
      EXPECT_EQ(1, list.DeleteWatch(5));
    }
    pass.join();
    EXPECT_EQ(WatchedList::ListEnded, list.runState.load());
    EXPECT_EQ(stopListener ? 1u : 0u, list.Size());
    // An emptied table shows in one line, the last one.
    EXPECT_EQ(stopListener ? 0u : 1u, CountLines("Empty Process List (time to live 1 s)\n"));
    EXPECT_EQ(0u, CountLines(" s)\nINFO"));
  }
  log->Clear();
  port.state = ListenPort::kCreated;  // never running: not a single pass
  EXPECT_EQ(1, list.ProcessBlock(&port));
  EXPECT_EQ(1, list.ProcessBlock(nullptr));
  EXPECT_EQ("", PassLines());
}

TEST_F(WatchedListTest, RegistrationReplacesHeartbeatRenewsAndForgettingAlwaysSucceeds) {
  WatchedList list(&fake, Tiny());
  Timestamp::controlledTimeAdd(-100);
  WatchedItem old42 = Item(42, false);
  WatchedItem item43 = Item(43, false);
  list.CreateNewWatch(old42);
  list.CreateNewWatch(item43);
  Timestamp::controlledTimeResume();
  EXPECT_EQ(ItemWatching, old42.state);

  WatchedItem new42 = Item(42, true);
  EXPECT_EQ(1, list.CreateNewWatch(new42));
  ProcessInfo beat;
  beat.pid = 43;
  beat.psWSet = 9;
  EXPECT_EQ(1, list.UpdateWatchedItem(beat));
  beat.pid = 44;
  EXPECT_EQ(0, list.UpdateWatchedItem(beat));
  EXPECT_EQ(1, list.DeleteWatch(44));

  auto table = list.Snapshot();
  ASSERT_EQ(2u, table.size());
  Timestamp now;
  now.SetNow();
  EXPECT_EQ(1, table[42].settings.errorsOn);
  EXPECT_LT(now - table[42].lastSeen, 5);
  EXPECT_GE(table[42].lastSeen - old42.lastSeen, 99);
  const ProcessInfo& info = table[43].info;
  EXPECT_TRUE(info.pid == 43 && info.psWSet == 9 && info.psNomWSet == 0 && info.psErrors == 0);
  EXPECT_LT(now - table[43].lastSeen, 5);
  EXPECT_TRUE(table[43].state == ItemWatching && table[43].settings.errorsOn == 0);
  EXPECT_EQ(1, list.DeleteWatch(43));
  EXPECT_EQ(1u, list.Size());
}

TEST_F(WatchedListTest, ErrorObjectFromBelowLeavesThePassWithTheLockReleased) {
  WatchedList list(&fake, Tiny());
  fake.onLaunch = [](const std::string&) { throw BError("FakeProcesses", "test"); };
  WatchedItem item = Item(3, true);
  list.CreateNewWatch(item);
  EXPECT_THROW(list.ProcessBlock(&port), BError);
  EXPECT_EQ(WatchedList::ListEnded, list.runState.load());
  auto size = std::async(std::launch::async, [&] { return list.Size(); });
  ASSERT_EQ(std::future_status::ready, size.wait_for(std::chrono::seconds(2)));
  EXPECT_EQ(1u, size.get());
}

// Real processes and real shell commands: one obeys its stop command, one
// ignores it and is killed, one is gone before the pass. Each start command
// leaves a file named after the pid.
TEST_F(WatchedListTest, RealProcessesAreStoppedKilledOrSkippedThenStartedAgain) {
  TempDir dir;
  Sleeper polite(false), deaf(true), gone(false);
  kill(gone.pid, SIGKILL);
  ASSERT_EQ(SIGKILL, gone.EndedBy());
  WatchedList list(nullptr, Tiny(40, 100, 10));
  Timestamp::controlledTimeAdd(-10);
  for (pid_t pid : {polite.pid, deaf.pid, gone.pid}) {
    const std::string id = std::to_string(pid);
    WatchedItem item = Item(pid, false, "kill " + id, "echo > " + dir.Join(id));
    item.settings.heartbeatOn = 1;
    item.settings.wdFreq = 1;
    list.CreateNewWatch(item);
  }
  Timestamp::controlledTimeResume();
  EXPECT_EQ(1, list.ProcessBlock(&port));
  EXPECT_EQ(0u, list.Size());
  EXPECT_EQ(SIGTERM, polite.EndedBy());
  EXPECT_EQ(SIGKILL, deaf.EndedBy());
  struct stat info;
  for (pid_t pid : {polite.pid, deaf.pid, gone.pid}) {
    EXPECT_TRUE(WaitUntil([&] { return stat(dir.Join(std::to_string(pid)).c_str(), &info) == 0; }));
    EXPECT_EQ(pid == gone.pid ? 0u : 1u,
              CountLines("STOPPING process with kill " + std::to_string(pid) + "\n"));
  }
  const std::string lines = PassLines();
  const std::string deafId = std::to_string(deaf.pid);
  std::string grace;
  for (int i = 0; i < 40; ++i) {
    grace += "INFO , process pid is still in list ...\n";
  }
  EXPECT_NE(lines.npos, lines.find("with kill " + deafId + "\n" + grace +
                                   "INFO : KILLING process ID " + deafId + "\n"));
  EXPECT_EQ(1u, CountLines("KILLING"));
  EXPECT_EQ(0u, CountLines("still alive"));
  EXPECT_LT(lines.find("Stop  Cmd = 'kill " + std::to_string(std::min(polite.pid, gone.pid))),
            lines.find("Stop  Cmd = 'kill " + std::to_string(std::max(polite.pid, gone.pid))));
}

// 32 client threads send watch, msg and mgmt orders for 1,000 pids while the
// passes run. Every seventh pid is wrong, so a pass restarts and drops it;
// every third is forgotten by its client; every fifth is registered twice.
TEST_F(WatchedListTest, ThirtyTwoClientsAndThePassesLeaveTheTableAsTheOrdersSay) {
  LogServer::Instance()->setAcceptSeverityUpTo(Warning);
  WatchedList::Waits waits = Tiny();
  waits.passSleepMs = 1;
  WatchedList list(&fake, waits);
  pepoWatchedList = &list;
  WatchedItem anchor = Item(1001, false);  // keeps the table from emptying
  list.CreateNewWatch(anchor);
  fake.onLaunch = [&](const std::string& command) {
    if (command == "last") {
      port.state = ListenPort::kStopping;
    }
  };
  std::thread pass([&] { list.ProcessBlock(&port); });
  std::atomic<int> beatsFound{0};
  std::vector<std::thread> clients;
  for (int t = 0; t < 32; ++t) {
    clients.emplace_back([&, t] {
      WatchASCIIOrder order;
      Cnx connection;
      auto send = [&](const std::vector<std::string>& lines) {
        int result = -1;
        for (const std::string& text : lines) {
          String line(text.c_str());
          if (order.ProcessLine(line) == 1) {
            result = order.ExecuteOrder(connection);
            order.Reset();
          }
        }
        return result;
      };
      for (int pid = t + 1; pid <= 1000; pid += 32) {
        const std::string id = "pid: " + std::to_string(pid);
        const std::string errors = pid % 7 == 0 ? "pserrors: 1" : "pserrors: 0";
        for (const char* name : {"first", "again"}) {
          if (name[0] == 'f' || pid % 5 == 0) {
            EXPECT_EQ(1, send({"BEGINWATCH", id, std::string("psname: ") + name, "maxerrors: 0",
                               errors, "psstart: start " + std::to_string(pid), "END;"}));
          }
        }
        const int found = send({"BEGINMSG", id, "psnomwset: " + std::to_string(pid),
                                "pswset: " + std::to_string(2 * pid), errors, "END;"});
        beatsFound += pid % 7 != 0 ? found : 0;  // a wrong pid may be gone already
        if (pid % 3 == 0) {
          EXPECT_EQ(1, send({"BEGINMGMT", "stop: " + std::to_string(pid), "END;"}));
        }
      }
    });
  }
  for (std::thread& client : clients) {
    client.join();
  }
  // Registered after every client order, so the pass that restarts it walks
  // the final table; its start command ends the loop.
  WatchedItem last = Item(2000, true, "", "last");
  list.CreateNewWatch(last);
  pass.join();
  pepoWatchedList = nullptr;

  const auto table = list.Snapshot();
  size_t kept = 0;
  for (int pid = 1; pid <= 1000; ++pid) {
    const bool keep = pid % 3 != 0 && pid % 7 != 0;
    kept += keep;
    ASSERT_EQ(keep, table.count(pid) == 1) << pid;
    if (keep) {
      const WatchedItem& item = table.at(pid);
      EXPECT_STREQ(pid % 5 == 0 ? "again" : "first", item.settings.psName.chars());
      EXPECT_TRUE(item.info.psNomWSet == pid && item.info.psWSet == 2 * pid);
      EXPECT_EQ(ItemWatching, item.state);
    } else if (pid % 3 != 0) {
      EXPECT_NE(fake.launched.npos, fake.launched.find("start " + std::to_string(pid) + "\n"));
    }
  }
  EXPECT_EQ(kept + 1, table.size());  // and the anchor
  EXPECT_EQ(1000 - 1000 / 7, beatsFound.load());
}

}  // namespace
