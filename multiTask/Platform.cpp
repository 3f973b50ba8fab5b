#include "Platform.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <new>

#include "CriticalSection.h"
#include "SignalHandler.h"
#include "StderrLine.h"
#include "TaskMutex.h"
#include "ThreadLauncher.h"

namespace {

// Faults raised by the thread's own instruction: they never reach another
// thread, so they are left to whatever handler the process has installed.
constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};

// The host look-up starts with a 1024-byte work area and doubles it while the
// resolver asks for more (long alias lists), up to this size.
constexpr size_t kFirstWorkSize = 1024;
constexpr size_t kLastWorkSize = 64 * 1024;

class ReservedList {
 public:
  ReservedList() {
    int n = 0;
    signals_[n++] = SIGALRM;
#ifdef __SIGRTMIN
    // The C library keeps the real-time signals below SIGRTMIN for its own
    // thread machinery (cancellation, set-id broadcast).
    for (int s = __SIGRTMIN; s < SIGRTMIN && n < kCapacity - 2; ++s) {
      signals_[n++] = s;
    }
#endif
    signals_[n++] = SIGTRAP;
    signals_[n] = 0;
  }
  const int* signals() const { return signals_; }

 private:
  static constexpr int kCapacity = 16;
  int signals_[kCapacity];
};

void RemoveFromSet(sigset_t* set, int signal) {
  // The C library's own signals never enter a user set: nothing to remove.
  if (sigismember(set, signal) != 1) {
    return;
  }
  if (sigdelset(set, signal) != 0) {
    perror("sigdelset");
  }
}

// Which object a thread registered for a signal.
struct HandlerKey {
  unsigned thread;
  int signal;
  bool operator<(const HandlerKey& other) const {
    return thread != other.thread ? thread < other.thread : signal < other.signal;
  }
};

// Registered handler objects (not owned) and their mutex. Made on first use
// and never destroyed: a signal may still be dispatched while static objects
// are being destroyed at exit.
struct HandlerTable {
  TaskMutex tableMutex;  // guards theHandlers
  std::map<HandlerKey, const SignalHandler*> theHandlers;
};

HandlerTable& Handlers() {
  static HandlerTable* const table = new HandlerTable;
  return *table;
}

// Trace lines of the dispatch routine: each is followed by a one-second pause.
constexpr unsigned kTracePauseSeconds = 1;

// Blocks or unblocks one signal in the calling thread; false (printed) when
// the mask could not be changed.
bool ChangeThreadMask(int how, int signal) {
  sigset_t one;
  sigemptyset(&one);
  sigaddset(&one, signal);
  const int rc = pthread_sigmask(how, &one, nullptr);
  if (rc != 0) {
    errno = rc;  // pthread functions return their error instead of setting errno
    perror("setting thread mask");
    return false;
  }
  return true;
}

void CopyTruncated(char* target, size_t size, const char* text) {
  snprintf(target, size, "%s", text != nullptr ? text : "");
}

}  // namespace

unsigned Platform::getCurrentThreadId() { return static_cast<unsigned>(gettid()); }

bool Platform::compareThreadId(unsigned a, unsigned b) { return a == b; }

void Platform::setCurrentThreadName(const char*) {}

char* Platform::getCurrentThreadName(char* buffer, unsigned) { return buffer; }

int Platform::prepareThreadBeginning(pthread_attr_t* attributes) {
  if (pthread_attr_init(attributes) != 0) {
    return ThreadLauncher::kAttrInitFailed;
  }
  if (pthread_attr_setscope(attributes, PTHREAD_SCOPE_SYSTEM) != 0) {
    return ThreadLauncher::kScopeRejected;
  }
  return 0;
}

bool Platform::setThreadStackSize(long size, pthread_attr_t* attributes) {
  return size > 0 && pthread_attr_setstacksize(attributes, static_cast<size_t>(size)) == 0;
}

int Platform::createIdleThread(void* (*routine)(void*), void* argument,
                               pthread_attr_t* attributes) {
  pthread_t thread;
  if (pthread_create(&thread, attributes, routine, argument) != 0) {
    return ThreadLauncher::kCreateFailed;
  }
  if (pthread_detach(thread) != 0) {
    return ThreadLauncher::kDetachFailed;
  }
  return 0;
}

int Platform::destroyThread(pthread_attr_t* attributes) {
  return pthread_attr_destroy(attributes) == 0 ? 0 : ThreadLauncher::kAttrDestroyFailed;
}

void Platform::prepareThreadEnding() {}

bool Platform::initSocketsAndTasks() {
  TaskMutex::flActiveMutex = 1;
  return true;
}

bool Platform::getHostByname(const char* name, char* address, char* officialName) {
  if (name == nullptr || address == nullptr || officialName == nullptr) {
    return false;
  }
  hostent entry;
  hostent* found = nullptr;
  std::unique_ptr<char[]> work;
  for (size_t size = kFirstWorkSize; size <= kLastWorkSize; size *= 2) {
    work.reset(new (std::nothrow) char[size]);
    if (work == nullptr) {
      return false;
    }
    int lookupError = 0;
    const int rc = gethostbyname_r(name, &entry, work.get(), size, &found, &lookupError);
    if (rc != ERANGE) {
      break;
    }
    found = nullptr;
  }
  if (found == nullptr || found->h_addrtype != AF_INET || found->h_addr_list == nullptr ||
      found->h_addr_list[0] == nullptr) {
    return false;
  }
  char dotted[INET_ADDRSTRLEN];
  if (inet_ntop(AF_INET, found->h_addr_list[0], dotted, sizeof dotted) == nullptr) {
    return false;
  }
  CopyTruncated(address, kAddressSize, dotted);
  CopyTruncated(officialName, kOfficialNameSize, found->h_name);
  return true;
}

bool Platform::isValidIp(const char* text) {
  return text != nullptr && inet_addr(text) != INADDR_NONE;
}

const int* Platform::reservedSignals() {
  static const ReservedList list;
  return list.signals();
}

void Platform::initializeSignals() {
  sigset_t set;
  sigfillset(&set);
  for (const int* s = reservedSignals(); *s != 0; ++s) {
    RemoveFromSet(&set, *s);
  }
  for (int s : kFaultSignals) {
    RemoveFromSet(&set, s);
  }
  const int rc = pthread_sigmask(SIG_BLOCK, &set, nullptr);
  if (rc != 0) {
    errno = rc;  // pthread functions return their error instead of setting errno
    perror("setting thread mask");
  }
}

void Platform::enableSignal(const SignalHandler* object) {
  if (object == nullptr) {
    return;
  }
  const int signal = object->sigNumber();
  {
    HandlerTable& table = Handlers();
    CriticalSection lock(&table.tableMutex);
    const HandlerKey key{getCurrentThreadId(), signal};
    table.theHandlers.erase(key);
    table.theHandlers.emplace(key, object);
  }
  struct sigaction action = {};
  action.sa_handler = handler;
  if (sigemptyset(&action.sa_mask) != 0) {
    perror("setting action mask");
  }
  action.sa_flags = 0;
  if (sigaction(signal, &action, nullptr) != 0) {
    perror("setting action");
  }
  if (!ChangeThreadMask(SIG_UNBLOCK, signal)) {
    disableSignal(object);
  }
}

void Platform::disableSignal(const SignalHandler* object) {
  if (object == nullptr) {
    return;
  }
  ChangeThreadMask(SIG_BLOCK, object->sigNumber());
  HandlerTable& table = Handlers();
  CriticalSection lock(&table.tableMutex);
  table.theHandlers.erase(HandlerKey{getCurrentThreadId(), object->sigNumber()});
}

bool Platform::lookupHandler(unsigned thread, int signal, const SignalHandler*& object) {
  HandlerTable& table = Handlers();
  CriticalSection lock(&table.tableMutex);
  const auto found = table.theHandlers.find(HandlerKey{thread, signal});
  if (found == table.theHandlers.end()) {
    return false;
  }
  object = found->second;
  return true;
}

void Platform::produceCore() { ::raise(SIGABRT); }

void Platform::raise(int signal) { ::raise(signal); }

void Platform::handler(int signal) {
  const int savedErrno = errno;
  const unsigned thread = getCurrentThreadId();
  StderrLine() << "Received signal " << signal << " on thread " << thread;
  sleep(kTracePauseSeconds);
  const SignalHandler* object = nullptr;
  if (!lookupHandler(thread, signal, object)) {
    StderrLine() << "Thread " << thread << " does not handle signal " << signal;
    sleep(kTracePauseSeconds);
    SignalHandler::abend(signal);
  }
  // An object without a function is as unusable as no object at all.
  if (object == nullptr || object->handler() == nullptr) {
    StderrLine() << "NULL pointer for signal " << signal << " on thread " << thread;
    sleep(kTracePauseSeconds);
    SignalHandler::abend(signal);
  }
  if (object->handler() == SignalHandler::BlockSignal) {
    StderrLine() << "Returning from blocked signal " << signal;
    sleep(kTracePauseSeconds);
    errno = savedErrno;
    return;
  }
  StderrLine() << "Calling handler in thread " << thread;
  sleep(kTracePauseSeconds);
  // SEGVfunc throws from here; nothing of this frame needs cleaning up.
  object->handler()(object);
  errno = savedErrno;
}
