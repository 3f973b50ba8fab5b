#include "SignalHandler.h"

#include <signal.h>

#include "Platform.h"

void SignalHandler::Initialize() { Platform::initializeSignals(); }

bool SignalHandler::catchable(int signal) {
  if (signal <= 0 || signal >= NSIG || signal == SIGKILL || signal == SIGSTOP) {
    return false;
  }
  for (const int* s = Platform::reservedSignals(); *s != 0; ++s) {
    if (*s == signal) {
      return false;
    }
  }
  return true;
}
