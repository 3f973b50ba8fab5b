#include "Platform.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include <memory>
#include <new>

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
