// The test double of WatchedList::ProcessServices that the collector's unit tests share: it plays
// the processes of the cycle and records its commands without starting any. Owned by the test that
// hands it to a list; safe for the concurrent calls of restart workers, clients and the test.
#pragma once

#include <condition_variable>

#include "RunAs.h"
#include "TestCommon.h"
#include "WatchedList.h"

// A pid lives until "kill -9 <pid>", or its stop command "stop <pid>" unless it is deaf to that; a
// reused pid is held by another process (another start time). With owners set only the pids it
// lists live. With `real` the processes and commands are the system's. Every command is noted with
// the identity it runs as ("uid/gid ", none for the daemon's own) and " (fg)" in the foreground.
class FakeProcesses : public WatchedList::ProcessServices {
 public:
  using Clock = std::chrono::steady_clock;
  struct Launch {
    std::string command, line;
    Clock::time_point at;
  };

  int CheckPID(int pid) override {
    int status = 0;
    std::lock_guard<std::mutex> hold(mutex);
    if (real && waitpid(pid, &status, WNOHANG) == pid) {  // reaped as its real parent would
      endedBy[pid] = WIFSIGNALED(status) ? WTERMSIG(status) : -1;
    }
    return real ? ProcessServices::CheckPID(pid) : Lives(pid) ? 1 : 0;
  }
  bool StartTime(int pid, unsigned long long& ticks) override {
    if (real) {
      return ProcessServices::StartTime(pid, ticks);
    }
    std::lock_guard<std::mutex> hold(mutex);
    ticks = reused.count(pid) != 0 ? 2 : 1;
    return Lives(pid);
  }
  int CommandLunchAs(String& command, int mode, const RunAs* as) override {
    const std::string text = command.chars();
    {
      std::unique_lock<std::mutex> hold(mutex);
      maxInside = std::max(maxInside, ++inside);
      opened.wait(hold, [this] { return !gated; });
      --inside;
      const std::string who =
          as == nullptr ? "" : std::to_string(as->uid) + "/" + std::to_string(as->gid) + " ";
      launches.push_back({text, who + text + (mode == 1 ? " (fg)" : ""), Clock::now()});
      int pid = 0;
      if (sscanf(text.c_str(), "kill -9 %d", &pid) == 1 ||
          (sscanf(text.c_str(), "stop %d", &pid) == 1 && deaf.count(pid) == 0)) {
        dead.insert(pid);
      }
    }
    if (onLaunch) {
      onLaunch(text);
    }
    return real ? ProcessServices::CommandLunchAs(command, mode, as) : 1;
  }
  bool ProcessRealUid(int pid, uid_t& uid) override {
    const auto listed = owners.find(pid);
    uid = listed != owners.end() ? listed->second : owner;
    return real ? ProcessServices::ProcessRealUid(pid, uid) : CheckPID(pid) == 1;
  }
  uid_t DaemonUid() override { return real ? ProcessServices::DaemonUid() : daemonUid; }

  void SetDead(int pid, bool isDead) {
    std::lock_guard<std::mutex> hold(mutex);
    if (isDead) {
      dead.insert(pid);
    } else {
      dead.erase(pid);
    }
  }
  void Reuse(int pid) {
    std::lock_guard<std::mutex> hold(mutex);
    reused.insert(pid);
  }
  void Open() {
    std::lock_guard<std::mutex> hold(mutex);
    gated = false;
    opened.notify_all();
  }
  bool Launched(const std::string& command, Clock::time_point* when = nullptr) {
    std::lock_guard<std::mutex> hold(mutex);
    const auto it = std::find_if(launches.begin(), launches.end(),
                                 [&](const Launch& launch) { return launch.command == command; });
    if (it != launches.end() && when != nullptr) {
      *when = it->at;
    }
    return it != launches.end();
  }
  // The noted lines of the commands in only (all when it is empty), one a line.
  std::string Commands(const std::set<std::string>& only = {}) {
    std::lock_guard<std::mutex> hold(mutex);
    std::string lines;
    for (const Launch& launch : launches) {
      lines += only.empty() || only.count(launch.command) != 0 ? launch.line + "\n" : "";
    }
    return lines;
  }

  std::mutex mutex;  // guards every field below but the settings made before the loop runs
  std::condition_variable opened;
  bool gated = false;          // every command launch waits until Open
  std::atomic<int> inside{0};  // launches under way now, read without the lock
  int maxInside = 0;           // launches under way at most at once
  std::set<int> dead, deaf, reused;
  std::map<int, int> endedBy;  // real: the signal that ended each reaped child, -1 for none
  std::vector<Launch> launches;
  // Settings, made before the loop runs.
  bool real = false;
  uid_t owner = 0, daemonUid = 0;  // of every played process not in owners, and the daemon's
  std::map<int, uid_t> owners;     // when not empty, the only pids that live, with their owners
  std::function<void(const std::string&)> onLaunch;

 private:
  // REQUIRES: mutex held.
  bool Lives(int pid) const {
    return dead.count(pid) == 0 && (owners.empty() || owners.count(pid) != 0);
  }
};
