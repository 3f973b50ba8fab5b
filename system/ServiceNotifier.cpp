#include "ServiceNotifier.h"

#include <errno.h>
#include <stddef.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>

#include "CriticalSection.h"
#include "LogServer.h"
#include "SystemError.h"

namespace {

const char kTag[] = "[vigild::ServiceNotifier]";

// Decimal digits only, as the service manager writes them; false for a
// sign, blanks, letters, nothing at all or a value past max.
bool Decimal(const char* text, unsigned long long max, unsigned long long& value) {
  if (text == nullptr || *text < '0' || *text > '9') {
    return false;
  }
  errno = 0;
  char* end = nullptr;
  value = strtoull(text, &end, 10);
  return errno == 0 && *end == '\0' && value <= max;
}

// The socket address of text ('/' a path, '@' the abstract namespace) and
// its length; false when text is neither or does not fit.
bool AddressOf(const std::string& text, sockaddr_un& where, socklen_t& length) {
  where = sockaddr_un{};
  where.sun_family = AF_UNIX;
  if (text.size() < 2 || (text[0] != '/' && text[0] != '@')) {
    return false;
  }
  // A path keeps room for its terminating zero; an abstract name has none.
  const size_t room = sizeof where.sun_path - (text[0] == '/' ? 1 : 0);
  if (text.size() > room) {
    return false;
  }
  text.copy(where.sun_path, text.size());
  if (text[0] == '@') {
    where.sun_path[0] = '\0';
  }
  length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + text.size() +
                                  (text[0] == '/' ? 1 : 0));
  return true;
}

int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void AddProblem(std::string& problems, const std::string& problem) {
  problems += (problems.empty() ? "" : "; ") + problem;
}

}  // namespace

ServiceNotifier::Settings ServiceNotifier::Parse(const char* notifySocket, const char* watchdogUsec,
                                                 const char* watchdogPid, pid_t self) {
  Settings settings;
  if (notifySocket == nullptr || *notifySocket == '\0') {
    return settings;
  }
  sockaddr_un where;
  socklen_t length = 0;
  if (!AddressOf(notifySocket, where, length)) {
    AddProblem(settings.problem,
               std::string("NOTIFY_SOCKET '") + notifySocket +
                   "' is neither an absolute path nor an abstract name ('@') that fits a "
                   "socket address: the service manager is told nothing");
    return settings;
  }
  settings.address = notifySocket;
  if (watchdogUsec == nullptr) {
    return settings;
  }
  unsigned long long pid = 0;
  if (watchdogPid != nullptr && !Decimal(watchdogPid, 0x7fffffff, pid)) {
    AddProblem(settings.problem, std::string("WATCHDOG_PID '") + watchdogPid +
                                     "' is not a process id: the watchdog is not fed");
    return settings;
  }
  if (watchdogPid != nullptr && pid != static_cast<unsigned long long>(self)) {
    return settings;
  }
  // A year in microseconds: beyond it a value is a mistake, not an interval.
  constexpr unsigned long long kMaxUs = 366ULL * 24 * 3600 * 1000 * 1000;
  unsigned long long us = 0;
  if (!Decimal(watchdogUsec, kMaxUs, us) || us == 0) {
    AddProblem(settings.problem, std::string("WATCHDOG_USEC '") + watchdogUsec +
                                     "' is not a positive number of microseconds: the "
                                     "watchdog is not fed");
    return settings;
  }
  settings.watchdogUs = static_cast<int64_t>(us);
  return settings;
}

ServiceNotifier::Settings ServiceNotifier::TakeFromEnvironment() {
  const Settings settings =
      Parse(getenv("NOTIFY_SOCKET"), getenv("WATCHDOG_USEC"), getenv("WATCHDOG_PID"), getpid());
  unsetenv("NOTIFY_SOCKET");
  unsetenv("WATCHDOG_USEC");
  unsetenv("WATCHDOG_PID");
  return settings;
}

ServiceNotifier::ServiceNotifier(Clock monotonic)
    : clock(monotonic ? std::move(monotonic) : Clock(SteadyMs)) {}

ServiceNotifier::~ServiceNotifier() {
  if (fd >= 0) {
    close(fd);
  }
}

bool ServiceNotifier::Open(const Settings& settings) {
  if (!settings.problem.empty()) {
    LogServer::Report(Warning, "DL30102", std::string(kTag) + " WARNING : " + settings.problem,
                      "GENERIC", true);
  }
  if (settings.address.empty()) {
    return false;
  }
  const int made = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (made < 0) {
    LogServer::Report(Warning, "DL30102",
                      std::string(kTag) + " WARNING : no socket to tell the service manager: " +
                          SystemError::Text(errno),
                      "GENERIC", true);
    return false;
  }
  // Whole milliseconds, at least one: the pass's clock counts no finer.
  const int64_t intervalMs =
      settings.watchdogUs > 0 ? (settings.watchdogUs >= 1000 ? settings.watchdogUs / 1000 : 1) : 0;
  {
    CriticalSection hold(&mutex);
    fd = made;
    address = settings.address;
    watchdogMs = intervalMs;
  }
  std::string text =
      std::string(kTag) + " INFO : telling the service manager at " + settings.address;
  if (intervalMs > 0) {
    text += ", watchdog every " + std::to_string(intervalMs) + " ms";
  }
  LogServer::Report(Debug1, nullptr, text);
  if (intervalMs > 0 && intervalMs < 2000) {
    LogServer::Report(Warning, "DL30102",
                      std::string(kTag) + " WARNING : a watchdog interval of " +
                          std::to_string(intervalMs) +
                          " ms is shorter than two supervision passes: it is pinged on every "
                          "pass, about once a second, and may run out on a busy host",
                      "GENERIC", true);
  }
  return true;
}

bool ServiceNotifier::Enabled() {
  CriticalSection hold(&mutex);
  return fd >= 0;
}

int64_t ServiceNotifier::WatchdogMs() {
  CriticalSection hold(&mutex);
  return fd >= 0 ? watchdogMs : 0;
}

std::string ServiceNotifier::_Send(const std::string& message) {
  sockaddr_un where;
  socklen_t length = 0;
  if (!AddressOf(address, where, length)) {
    return "no address";
  }
  // Never waits: a service manager that reads nothing must not hold up the
  // pass that feeds its watchdog, nor the stop sequence.
  for (;;) {
    const ssize_t sent = sendto(fd, message.data(), message.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                                reinterpret_cast<const sockaddr*>(&where), length);
    if (sent >= 0) {
      return std::string();
    }
    if (errno != EINTR) {
      return SystemError::Text(errno);
    }
  }
}

void ServiceNotifier::_Note(const std::string& message, const std::string& failure) {
  bool report = false;
  std::string at;
  {
    CriticalSection hold(&mutex);
    report = !failure.empty() && failure != lastFailure;
    lastFailure = failure;
    at = address;
  }
  if (report) {
    LogServer::Report(Warning, "DL30102",
                      std::string(kTag) + " WARNING : cannot send " + message +
                          " to the service manager at " + at + ": " + failure,
                      "GENERIC", true);
  }
}

bool ServiceNotifier::Ready() {
  std::string failure;
  {
    CriticalSection hold(&mutex);
    if (fd < 0) {
      return false;
    }
    failure = _Send("READY=1");
  }
  _Note("READY=1", failure);
  return failure.empty();
}

bool ServiceNotifier::Stopping() {
  std::string failure;
  {
    CriticalSection hold(&mutex);
    if (fd < 0) {
      return false;
    }
    failure = _Send("STOPPING=1");
    stopping = true;
  }
  _Note("STOPPING=1", failure);
  return failure.empty();
}

void ServiceNotifier::PassDone(const std::string& line) {
  std::string status = line;
  for (char& c : status) {
    c = c == '\n' || c == '\r' ? ' ' : c;
  }
  std::string failure;
  std::string failed;
  {
    CriticalSection hold(&mutex);
    if (fd < 0 || stopping) {
      return;
    }
    if (!statusSent || status != lastStatus) {
      failure = _Send("STATUS=" + status);
      if (failure.empty()) {
        lastStatus = status;
        statusSent = true;
      } else {
        failed = "STATUS=";
      }
    }
    const int64_t now = clock();
    if (failure.empty() && watchdogMs > 0 &&
        (lastPingMs < 0 || now - lastPingMs >= watchdogMs / 4)) {
      failure = _Send("WATCHDOG=1");
      if (failure.empty()) {
        lastPingMs = now;
      } else {
        failed = "WATCHDOG=1";
      }
    }
  }
  _Note(failed, failure);
}

ServiceNotifier& ServiceNotifier::Daemon() {
  // Never destroyed: the signal watcher may use it while the process exits.
  static ServiceNotifier* daemon = new ServiceNotifier();
  return *daemon;
}
