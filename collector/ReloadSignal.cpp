#include "ReloadSignal.h"

#include <signal.h>

#include <atomic>
#include <system_error>
#include <thread>

#include "LogServer.h"
#include "ProgramKeeper.h"

namespace {

std::atomic<ProgramKeeper*> keeper{nullptr};
std::atomic<bool> started{false};

sigset_t ReloadSet() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGHUP);
  return set;
}

void Watch() {
  const sigset_t set = ReloadSet();
  for (;;) {
    int signal = 0;
    if (sigwait(&set, &signal) != 0) {
      continue;
    }
    if (ProgramKeeper* current = keeper.load()) {
      LogServer::Report(Warning, "DL30102",
                        "[vigild::ReloadSignal] WARNING : SIGHUP received, reading the program "
                        "files again",
                        "GENERIC", true);
      current->RequestReload();
    }
  }
}

}  // namespace

void ReloadSignal::Block() {
  const sigset_t set = ReloadSet();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

bool ReloadSignal::Start() {
  if (started.exchange(true)) {
    return true;
  }
  try {
    std::thread(Watch).detach();
  } catch (const std::system_error&) {
    started.store(false);
    return false;
  }
  return true;
}

void ReloadSignal::SetKeeper(ProgramKeeper* current) { keeper.store(current); }
