#include "StopSignals.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <system_error>
#include <thread>

#include "CriticalSection.h"
#include "ListenPort.h"
#include "LogServer.h"
#include "ServiceNotifier.h"
#include "StatusWriter.h"
#include "TaskMutex.h"

namespace {

const int kStopSignals[] = {SIGINT, SIGTERM, SIGTSTP, SIGTTIN, SIGTTOU};

sigset_t StopSet() {
  sigset_t set;
  sigemptyset(&set);
  for (int stop : kStopSignals) {
    sigaddset(&set, stop);
  }
  return set;
}

// Never destroyed: the watcher may use them while the process exits.
TaskMutex& Mutex() {
  static TaskMutex* mutex = new TaskMutex();
  return *mutex;
}
ListenPort* listener = nullptr;  // guarded by Mutex()
StatusWriter* statusWriter = nullptr;  // guarded by Mutex()
bool disarmed = false;           // guarded by Mutex()
std::atomic<bool> started{false};
// SIGHUP goes here; null leaves it unanswered. Set by ReloadSignal, so one
// thread waits for every signal the daemon takes.
std::atomic<void (*)()> hangUp{nullptr};
std::atomic<bool> stopping{false};

long long MsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

void StopSequence(int signal) {
  CriticalSection lock(&Mutex());
  if (disarmed) {
    return;
  }
  stopping.store(true);
  const auto start = std::chrono::steady_clock::now();
  // Whatever holds up the sequence (an output that blocks), the process
  // still ends on time.
  std::thread([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(StopSignals::kExitBudgetMs));
    _exit(0);
  }).detach();
  ServiceNotifier::Daemon().Stopping();
  // Seen at the default level, as the daemon's start is.
  LogServer::Report(Warning, "DL30102",
                    "[vigild::StopSignals] INFO : signal " + std::to_string(signal) +
                        " received, stopping");
  if (listener != nullptr) {
    listener->Stop();
  }
  if (statusWriter != nullptr) {
    statusWriter->Stop();
  }
  const long long left = static_cast<long long>(StopSignals::kExitBudgetMs) - MsSince(start);
  LogServer::Instance()->Drain(static_cast<int>(left > 0 ? left : 0));
  _exit(0);
}

void Watch() {
  sigset_t set = StopSet();
  sigaddset(&set, SIGHUP);
  for (;;) {
    int signal = 0;
    if (sigwait(&set, &signal) != 0) {
      continue;
    }
    if (signal != SIGHUP) {
      StopSequence(signal);
    } else if (void (*take)() = hangUp.load()) {
      take();
    }
  }
}

}  // namespace

void StopSignals::Block() {
  const sigset_t set = StopSet();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

bool StopSignals::Start() {
  if (started.exchange(true)) {
    return true;
  }
  try {
    // Created with the five signals blocked (inherited), as sigwait needs.
    std::thread(Watch).detach();
  } catch (const std::system_error&) {
    started.store(false);
    return false;
  }
  return true;
}

void StopSignals::SetHangUp(void (*take)()) { hangUp.store(take); }

void StopSignals::SetListener(ListenPort* port) {
  CriticalSection lock(&Mutex());
  listener = port;
}

void StopSignals::SetStatusWriter(StatusWriter* writer) {
  CriticalSection lock(&Mutex());
  statusWriter = writer;
}

void StopSignals::Disarm() {
  CriticalSection lock(&Mutex());
  disarmed = true;
}

bool StopSignals::Stopping() { return stopping.load(); }
