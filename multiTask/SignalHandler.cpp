#include "SignalHandler.h"

#include <signal.h>
#include <unistd.h>

#include "Platform.h"
#include "StderrLine.h"

namespace {

// The handler functions are public and may be handed a null object.
int SignalOf(const SignalHandler* object) { return object != nullptr ? object->sigNumber() : 0; }

}  // namespace

void BlockSignal(const SignalHandler* object) {
  StderrLine() << "Blocked Signal " << SignalOf(object) << " not actually blocked!";
}

void AbendOnSignal(const SignalHandler* object) { SignalHandler::abend(SignalOf(object)); }

void CoreOnSignal(const SignalHandler* object) { SignalHandler::core(SignalOf(object)); }

void SEGVfunc(const SignalHandler* object) {
  StderrLine() << "Default SIGSEGV handler invoked!  Throwing exception.";
  throw SignalHandler::SignalException(object != nullptr ? object->sigNumber() : SIGSEGV);
}

SignalHandler::SignalHandler(int signal, HandlerFunction function)
    : handlerFunction(function), signalNumber(signal) {
  if (!catchable(signal)) {
    StderrLine() << "Attempt to handle an uncatchable signal" << signal;
    return;
  }
  enable();
}

SignalHandler::~SignalHandler() { disable(); }

void SignalHandler::enable() const {
  if (handlerFunction == BlockSignal) {
    disable();
  } else if (!catchable(signalNumber)) {
    StderrLine() << "Blatantly refusing to enable signal " << signalNumber;
  } else {
    Platform::enableSignal(this);
  }
}

void SignalHandler::disable() const {
  if (catchable(signalNumber)) {
    Platform::disableSignal(this);
  }
}

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

void SignalHandler::Initialize() { Platform::initializeSignals(); }

void SignalHandler::raise(int signal) { Platform::raise(signal); }

void SignalHandler::core(int) { Platform::produceCore(); }

void SignalHandler::abend(int signal) {
  StderrLine() << "Abnormal termination due to signal " << signal;
  _exit(signal + 100);
}
