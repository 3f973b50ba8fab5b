#include "ProcessTools.h"

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
#include <vector>

#include "CleanEnvironment.h"
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

// Writes all of it to descriptor fd, async-signal-safe; nothing when fd is -1.
void WriteTo(int fd, const char* data, size_t length) {
  while (fd >= 0 && length > 0) {
    const ssize_t written = write(fd, data, length);
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

void WriteToStderr(const char* data, size_t length) { WriteTo(2, data, length); }

// Everything the child needs, prepared before fork: a child of a threaded
// process may make only async-signal-safe calls, so no allocation, no locks
// and no stdio after fork.
struct ChildPlan {
  char* const* argv;
  char* const* envp;
  const char* home;
  const std::string* failureTail;  // ") in <command text>\n"
  const struct sigaction* byDefault;
  const sigset_t* noSignals;
  const RunAs* as;  // null: keep the daemon's identity
  int devNull;      // open on /dev/null, above 2, close-on-exec
  long limit;       // the descriptor limit, for closing without close_range
};

// The command's own context, built before fork from the account it runs
// as: a fixed search path and that account's names, nothing inherited from
// the daemon, whose environment may hold what its service manager or its
// operator gave it alone.
class CleanContext {
 public:
  explicit CleanContext(const RunAs& account)
      : home(account.home), entries(CleanEnvironment::For(account)) {
    for (std::string& entry : entries) {
      pointers.push_back(&entry[0]);
    }
    pointers.push_back(nullptr);
  }
  char* const* Envp() { return pointers.data(); }
  const char* Home() const { return home.c_str(); }

 private:
  std::string home;
  std::vector<std::string> entries;
  std::vector<char*> pointers;  // into entries, null-terminated
};

// The account a command without an identity of its own runs as: the
// daemon's.
RunAs DaemonAccount() { return CleanEnvironment::AccountOf(geteuid()); }

// /dev/null above descriptor 2 and close-on-exec, for the command's
// standard streams; -1 after logging when it cannot be opened.
int OpenDevNull() {
  int fd;
  do {
    fd = open("/dev/null", O_RDWR | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd >= 0 && fd < 3) {
    // A daemon started with a standard stream closed gets it back here;
    // moved up, it cannot be one of the three the child points at it.
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    close(fd);
    fd = moved;
  }
  if (fd < 0) {
    LogServer::Report(Warning, "DL30102",
                      "[CommandLaunch] ERROR : cannot open /dev/null: " + SystemError::Text(errno),
                      "GENERIC", true);
  }
  return fd;
}

// Closes every descriptor above 2 but keep (-1: none), async-signal-safe:
// in one or two calls where the kernel can, else one number at a time up
// to the limit read before fork.
void CloseDescriptorsAbove2(int keep, long limit) {
#ifdef CLOSE_RANGE_CLOEXEC
  if (keep < 3) {
    if (close_range(3, ~0U, 0) == 0) {
      return;
    }
  } else if ((keep == 3 || close_range(3, static_cast<unsigned>(keep) - 1, 0) == 0) &&
             close_range(static_cast<unsigned>(keep) + 1, ~0U, 0) == 0) {
    return;
  }
#endif
  const long last = std::min<long>(limit, INT_MAX);
  for (long fd = 3; fd <= last; ++fd) {
    if (fd != keep) {
      close(static_cast<int>(fd));
    }
  }
}

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
// and both would otherwise pass through exec to the supervised process. Its
// standard streams are /dev/null, so that it can neither read the daemon's
// input nor write lines into the daemon's own output, and no other
// descriptor of the daemon reaches it.
[[noreturn]] void RunChild(const ChildPlan& plan) {
  for (int sig = 1; sig < NSIG; ++sig) {
    sigaction(sig, plan.byDefault, nullptr);
  }
  sigprocmask(SIG_SETMASK, plan.noSignals, nullptr);
  if (plan.as != nullptr && !DropIdentity(*plan.as)) {
    _exit(kExecFailedStatus);
  }
  // The daemon's standard error, kept aside (and closed by exec) for a
  // failure to report.
  const int report = fcntl(2, F_DUPFD_CLOEXEC, 3);
  static const char kHead[] = "[CommandLaunch] ERROR : ";
  char digits[12];
  const auto fail = [&](const char* step) {
    const int error = errno;
    WriteTo(report, kHead, sizeof kHead - 1);
    WriteTo(report, step, strlen(step));
    WriteTo(report, digits, FormatDecimal(error, digits));
    WriteTo(report, plan.failureTail->data(), plan.failureTail->size());
    _exit(kExecFailedStatus);
  };
  if (dup2(plan.devNull, 0) < 0 || dup2(plan.devNull, 1) < 0 || dup2(plan.devNull, 2) < 0) {
    fail("dup2() failed, (errno=");
  }
  CloseDescriptorsAbove2(report, plan.limit);
  // Its own home, or the root when that is gone: never the daemon's
  // directory.
  if (chdir(plan.home) != 0 && chdir("/") != 0) {
    fail("chdir() failed, (errno=");
  }
  execve(kShell, plan.argv, plan.envp);
  fail("execl() failed, (errno=");
  _exit(kExecFailedStatus);  // not reached: fail ends the child
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
  const RunAs account = as != nullptr ? *as : DaemonAccount();
  CleanContext context(account);
  const int devNull = OpenDevNull();
  if (devNull < 0) {
    return 0;
  }

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
  const ChildPlan plan{argv,       context.Envp(), context.Home(), &failureTail, &byDefault,
                       &noSignals, as,             devNull,        limit};

  const pid_t child = fork();
  if (child == 0) {
    RunChild(plan);
  }
  const int forkError = errno;
  close(devNull);
  if (child == -1) {
    ReportForkFailure(forkError, text);
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

int KillProcess(int pid, const std::function<int(String& command)>& launch) {
  char text[kKillCommandSize];
  snprintf(text, sizeof text, "kill -9 %d", pid);
  String command(text);
  if (pid < 1 || launch(command) == 0) {
    LogServer::Report(Error, "DL30000",
                      std::string("[StopProcess] ERROR : Unable to kill process : ") + text,
                      "GENERIC", true);
    return 0;
  }
  return 1;
}

int KillProcess(int pid) {
  return KillProcess(pid, [](String& command) { return CommandLunch(command, 1); });
}

int GetPID() { return getpid(); }
