#include "ReloadSignal.h"

#include <signal.h>

#include <atomic>

#include "LogServer.h"
#include "ProgramKeeper.h"
#include "StopSignals.h"

namespace {

std::atomic<ProgramKeeper*> keeper{nullptr};

void Take() {
  if (ProgramKeeper* current = keeper.load()) {
    LogServer::Report(Warning, "DL30102",
                      "[vigild::ReloadSignal] WARNING : SIGHUP received, reading the program "
                      "files again",
                      "GENERIC", true);
    current->RequestReload();
  }
}

}  // namespace

void ReloadSignal::Block() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void ReloadSignal::Start() { StopSignals::SetHangUp(&Take); }

void ReloadSignal::SetKeeper(ProgramKeeper* current) { keeper.store(current); }
