#include "ProcessTools.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "LogServer.h"
#include "RunAs.h"
#include "SystemError.h"

namespace {

const char kShell[] = "/usr/bin/sh";
// What the child ends with when the shell cannot be executed.
constexpr int kExecFailedStatus = 255;
// Holds the longest command KillProcess formats, terminator included.
constexpr size_t kKillCommandSize = sizeof "kill -9 -2147483648";

// Every failure of a launch is reported the same way.
void Warn(const std::string& text) { LogServer::Report(Warning, "DL30102", text, "GENERIC", true); }

void SetCloseOnExec(int fd) {
  if (fcntl(fd, F_SETFD, FD_CLOEXEC) == -1 && errno != EBADF) {
    const int error = errno;
    Warn("[CommandLaunch] ERROR : fcntl() : Cannot set close_on_exec on the fd " +
         std::to_string(fd) + " errno=" + std::to_string(error));
  }
}

// Marks only the descriptors that exist, as /proc lists them. False when the
// listing cannot be read to its end.
bool MarkListedDescriptors() {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) {
    return false;
  }
  const int own = dirfd(dir);
  bool complete = true;
  for (;;) {
    errno = 0;
    const struct dirent* entry = readdir(dir);
    if (entry == nullptr) {
      complete = errno == 0;
      break;
    }
    char* end = nullptr;
    const long fd = strtol(entry->d_name, &end, 10);
    if (end != entry->d_name && *end == '\0' && fd >= 3 && fd <= INT_MAX && fd != own) {
      SetCloseOnExec(static_cast<int>(fd));
    }
  }
  closedir(dir);
  return complete;
}

// Makes sure no descriptor above 2 survives into an exec'd command. The
// descriptor limit can be a million on Linux, and one fcntl per possible
// number would cost far more than the launch itself; so the kernel marks the
// whole range in one call when it can, else the descriptors /proc lists are
// marked, and only without /proc is every number from 3 to limit tried. The
// first two also cover descriptors above a limit lowered after they opened.
void MarkDescriptorsCloseOnExec(long limit) {
#ifdef CLOSE_RANGE_CLOEXEC
  if (close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) == 0) {
    return;
  }
#endif
  if (MarkListedDescriptors()) {
    return;
  }
  const long last = std::min<long>(limit, INT_MAX);
  for (long fd = 3; fd <= last; ++fd) {
    SetCloseOnExec(static_cast<int>(fd));
  }
}

// Writes all of it to descriptor 2, async-signal-safe.
void WriteToStderr(const char* data, size_t length) {
  while (length > 0) {
    const ssize_t written = write(2, data, length);
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      return;
    }
    data += written;
    length -= static_cast<size_t>(written);
  }
}

// Decimal digits of a non-negative value into buffer (11 bytes at least);
// returns their count. Async-signal-safe, unlike the stdio formatters.
size_t FormatDecimal(int value, char* buffer) {
  char reversed[12];
  size_t count = 0;
  unsigned magnitude = static_cast<unsigned>(value < 0 ? 0 : value);
  do {
    reversed[count++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  for (size_t i = 0; i < count; ++i) {
    buffer[i] = reversed[count - 1 - i];
  }
  return count;
}

// Everything the child needs, prepared before fork: a child of a threaded
// process may make only async-signal-safe calls, so no allocation, no locks
// and no stdio after fork.
struct ChildPlan {
  char* const* argv;
  const std::string* failureTail;  // ") in <command text>\n"
  const struct sigaction* byDefault;
  const sigset_t* noSignals;
  const RunAs* as;  // null: keep the daemon's identity
};

// Reports a failed identity step from the child, async-signal-safe.
void ReportDropFailure(const char* step, uid_t uid) {
  const int error = errno;
  static const char kHead[] = "[CommandLaunch] ERROR : ";
  static const char kUid[] = " failed for uid ";
  static const char kErrno[] = ", command not run (errno=";
  char digits[12];
  WriteToStderr(kHead, sizeof kHead - 1);
  WriteToStderr(step, strlen(step));
  WriteToStderr(kUid, sizeof kUid - 1);
  WriteToStderr(digits, FormatDecimal(static_cast<int>(uid), digits));
  WriteToStderr(kErrno, sizeof kErrno - 1);
  WriteToStderr(digits, FormatDecimal(error, digits));
  WriteToStderr(")\n", 2);
}

// Groups first, then the group, then the user: once the user is dropped the
// other two can no longer be changed. Each call is checked, and so is that
// the old user cannot be taken back. False after reporting the failed step.
bool DropIdentity(const RunAs& as) {
  if (setgroups(as.groups.size(), as.groups.data()) != 0) {
    ReportDropFailure("setgroups()", as.uid);
    return false;
  }
  if (setgid(as.gid) != 0) {
    ReportDropFailure("setgid()", as.uid);
    return false;
  }
  if (setuid(as.uid) != 0) {
    ReportDropFailure("setuid()", as.uid);
    return false;
  }
  if (getuid() != as.uid || geteuid() != as.uid || getgid() != as.gid || getegid() != as.gid ||
      (as.uid != 0 && setuid(0) != -1)) {
    errno = EPERM;
    ReportDropFailure("identity check", as.uid);
    return false;
  }
  return true;
}

// The command gets a clean signal state whatever thread launched it: a
// launched thread blocks nearly every signal and the daemon may ignore some,
// and both would otherwise pass through exec to the supervised process.
[[noreturn]] void RunChild(const ChildPlan& plan) {
  for (int sig = 1; sig < NSIG; ++sig) {
    sigaction(sig, plan.byDefault, nullptr);
  }
  sigprocmask(SIG_SETMASK, plan.noSignals, nullptr);
  if (plan.as != nullptr && !DropIdentity(*plan.as)) {
    _exit(kExecFailedStatus);
  }
  execve(kShell, plan.argv, environ);
  const int error = errno;
  static const char kHead[] = "[CommandLaunch] ERROR : execl() failed, (errno=";
  char digits[12];
  WriteToStderr(kHead, sizeof kHead - 1);
  WriteToStderr(digits, FormatDecimal(error, digits));
  WriteToStderr(plan.failureTail->data(), plan.failureTail->size());
  _exit(kExecFailedStatus);
}

void ReportForkFailure(int error, const std::string& text) {
  std::string reason;
  if (error == EAGAIN) {
    reason = "limit on the total number of processes was exceeded";
  } else if (error == ENOMEM) {
    reason = "not enough memory";
  } else {
    reason = "unknown error (errno=%d) " + std::to_string(error);
  }
  Warn("[CommandLaunch] ERROR : fork() failed, " + reason + " in '" + text + "'");
}

}  // namespace

int CommandLunch(String& command, int mode) { return CommandLunch(command, mode, nullptr); }

int CommandLunch(String& command, int mode, const RunAs* as) {
  std::string text = command.chars();
  if (mode != 1) {
    text = "(" + text + ")&";
  }

  errno = 0;
  const long limit = sysconf(_SC_OPEN_MAX);
  if (limit == -1) {
    const int error = errno;
    Warn("[CommandLaunch] ERROR : sysconf() : Cannot get max open files per process : errno=" +
         std::to_string(error));
    return 0;
  }
  MarkDescriptorsCloseOnExec(limit);

  char shellName[] = "sh";
  char commandFlag[] = "-c";
  char* const argv[] = {shellName, commandFlag, &text[0], nullptr};
  const std::string failureTail = ") in " + text + "\n";
  struct sigaction byDefault;
  memset(&byDefault, 0, sizeof byDefault);
  byDefault.sa_handler = SIG_DFL;
  sigemptyset(&byDefault.sa_mask);
  sigset_t noSignals;
  sigemptyset(&noSignals);
  const ChildPlan plan{argv, &failureTail, &byDefault, &noSignals, as};

  const pid_t child = fork();
  if (child == 0) {
    RunChild(plan);
  }
  if (child == -1) {
    ReportForkFailure(errno, text);
    return 1;
  }

  // In the background mode the shell ends as soon as it has started the
  // subshell, so this wait is short either way.
  int status;
  pid_t waited;
  do {
    waited = waitpid(child, &status, 0);
  } while (waited == -1 && errno == EINTR);
  if (waited != child && errno != ECHILD) {
    Warn("[CommandLaunch] ERROR : waitpid() failed :" + SystemError::Text(errno));
  }
  return 1;
}

int CheckPID(int pid) {
  if (pid < 1) {
    return 0;
  }
  return kill(pid, 0) == 0 || errno == EPERM ? 1 : 0;
}

int KillProcess(int pid) {
  char text[kKillCommandSize];
  snprintf(text, sizeof text, "kill -9 %d", pid);
  String command(text);
  if (pid < 1 || CommandLunch(command, 1) == 0) {
    LogServer::Report(Error, "DL30000",
                      std::string("[StopProcess] ERROR : Unable to kill process : ") + text,
                      "GENERIC", true);
    return 0;
  }
  return 1;
}

int GetPID() { return getpid(); }
