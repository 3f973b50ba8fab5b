#include "SigHandle.h"

#include <errno.h>
#include <stdio.h>

#include <string>

#include "LogServer.h"

namespace {

void Announce(const char* routine, const std::string& detail) {
  LogServer::Report(Debug2, nullptr, std::string("[SigHandle::") + routine + "] INFO : " + detail);
}

// Logs and prints a failed system call; always 0, the caller's answer.
int Fail(const std::string& detail, const char* call) {
  const int error = errno;  // logging may change it before perror reads it
  LogServer::Report(Warning, "DL30102", "[SigHandle] ERROR : " + detail, "GENERIC", true);
  errno = error;
  perror(call);
  return 0;
}

std::string Signum(int signal) { return "signum " + std::to_string(signal); }

// A set holding only signal; false (printed) when it cannot be made.
bool OneSignalSet(int signal, sigset_t& set) {
  if (sigemptyset(&set) != 0) {
    perror("sigemptyset");
    return false;
  }
  if (sigaddset(&set, signal) != 0) {
    perror("sigaddset");
    return false;
  }
  return true;
}

// The action's mask starts empty; false (printed) when it cannot.
bool EmptyMask(struct sigaction& action) {
  if (sigemptyset(&action.sa_mask) != 0) {
    perror("sigemptyset");
    return false;
  }
  return true;
}

int BlockSet(const sigset_t& set) {
  if (sigprocmask(SIG_BLOCK, &set, nullptr) != 0) {
    return Fail("sigprocmask " + std::to_string(errno), "sigprocmask");
  }
  return 1;
}

int WaitForSet(const sigset_t& set, int& received) {
  const int rc = sigwait(&set, &received);
  if (rc != 0) {
    errno = rc;  // sigwait returns its error instead of setting errno
    return Fail("sigwait " + std::to_string(rc), "sigwait");
  }
  return 1;
}

}  // namespace

int SigHandle::Ignore(int signal) {
  Announce("Ignore", Signum(signal));
  struct sigaction action = {};
  action.sa_handler = SIG_IGN;
  if (!EmptyMask(action)) {
    return 0;
  }
  // SA_NOCLDWAIT: no zombies, so nobody has to wait for the children.
  action.sa_flags = signal == SIGCHLD ? SA_NOCLDWAIT : SA_SIGINFO;
  if (sigaction(signal, &action, nullptr) != 0) {
    return Fail("Ignore " + std::to_string(signal), " sigaction");
  }
  return 1;
}

int SigHandle::Default(int signal) {
  Announce("Default", Signum(signal));
  struct sigaction action = {};
  action.sa_handler = SIG_DFL;
  if (!EmptyMask(action)) {
    return 0;
  }
  action.sa_flags = 0;
  if (sigaction(signal, &action, nullptr) != 0) {
    return Fail("Default " + std::to_string(signal), "sigaction");
  }
  return 1;
}

int SigHandle::Mask(int signal) {
  Announce("Mask", Signum(signal));
  sigset_t set;
  return OneSignalSet(signal, set) ? BlockSet(set) : 0;
}

int SigHandle::Mask(const sigset_t& set) {
  Announce("Mask", "sigset_t");
  return BlockSet(set);
}

int SigHandle::Handle(int signal, void (*function)(int), sigset_t* mask) {
  Announce("Handle", Signum(signal));
  struct sigaction action = {};
  action.sa_handler = function;
  action.sa_flags = 0;
  if (mask != nullptr) {
    action.sa_mask = *mask;
  } else if (!EmptyMask(action)) {
    return 0;
  }
  if (sigaction(signal, &action, nullptr) != 0) {
    return Fail("sigaction " + std::to_string(errno), "sigaction");
  }
  return 1;
}

int SigHandle::Wait(int signal, int& received) {
  Announce("Wait", Signum(signal));
  sigset_t set;
  return OneSignalSet(signal, set) ? WaitForSet(set, received) : 0;
}

int SigHandle::Wait(const sigset_t& set, int& received) {
  Announce("Wait", "sigset_t ");
  return WaitForSet(set, received);
}
