#include "InheritedSocket.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "LogServer.h"
#include "SystemError.h"

namespace {

// More descriptors than this in LISTEN_FDS is nonsense, not a handover; the
// limit keeps the close-on-exec sweep of a refused handover short.
constexpr long kMaxHandedDescriptors = 64;

// A plain non-negative decimal number, as a service manager writes it; -1 for
// anything else (sign, blank, letters, overflow).
long DecimalValue(const char* text) {
  if (text == nullptr || *text < '0' || *text > '9') {
    return -1;
  }
  errno = 0;
  char* end = nullptr;
  const long value = strtol(text, &end, 10);
  if (errno != 0 || *end != '\0') {
    return -1;
  }
  return value;
}

std::string ErrnoText() { return SystemError::Text(errno); }

}  // namespace

InheritedSocket::InheritedSocket() : state_(kNone), reserve_(-1), local_(-1), port_(0) {}

InheritedSocket::~InheritedSocket() {
  for (int held : {reserve_, local_}) {
    if (held >= 0) {
      close(held);
    }
  }
}

InheritedSocket::State InheritedSocket::Refuse(const std::string& why) {
  problem_ = why;
  reserve_ = -1;
  local_ = -1;
  port_ = 0;
  state_ = kRefused;
  return state_;
}

InheritedSocket::State InheritedSocket::TakeFromEnvironment(int firstDescriptor) {
  const long pid = DecimalValue(getenv("LISTEN_PID"));
  const char* countText = getenv("LISTEN_FDS");
  const bool present = getenv("LISTEN_PID") != nullptr && countText != nullptr;
  const long count = DecimalValue(countText);
  unsetenv("LISTEN_PID");
  unsetenv("LISTEN_FDS");
  unsetenv("LISTEN_FDNAMES");
  // Variables that name another process were meant for an ancestor that
  // let them leak; they hand nothing to this one.
  if (!present || pid != static_cast<long>(getpid())) {
    return state_;
  }
  if (count < 0) {
    fcntl(firstDescriptor, F_SETFD, FD_CLOEXEC);
    return Refuse("LISTEN_FDS is not a number of descriptors");
  }
  if (count == 0) {
    return state_;
  }
  // Whatever was handed must not reach the commands the daemon starts.
  for (long d = 0; d < count && d < kMaxHandedDescriptors; ++d) {
    fcntl(firstDescriptor + static_cast<int>(d), F_SETFD, FD_CLOEXEC);
  }
  if (count > 2) {
    return Refuse(std::to_string(count) +
                  " descriptors handed over, one listening TCP socket and at most one local "
                  "socket expected");
  }
  for (int d = firstDescriptor; d < firstDescriptor + count; ++d) {
    const std::string name = "descriptor " + std::to_string(d);
    int domain = 0;
    socklen_t domainLength = sizeof domain;
    const bool local = getsockopt(d, SOL_SOCKET, SO_DOMAIN, &domain, &domainLength) == 0 &&
                       domain == AF_UNIX;
    if (local ? local_ >= 0 : reserve_ >= 0) {
      return Refuse(name + " is a second " + (local ? "local" : "TCP") + " socket");
    }
    const std::string why = Unusable(d, local);
    if (!why.empty()) {
      return Refuse(name + " " + why);
    }
    const int flags = fcntl(d, F_GETFL);
    if (flags == -1 || fcntl(d, F_SETFL, flags | O_NONBLOCK) == -1) {
      return Refuse(name + " cannot be made non-blocking: " + ErrnoText());
    }
    if (local) {
      local_ = d;
      continue;
    }
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (getsockname(d, reinterpret_cast<sockaddr*>(&address), &length) == -1) {
      return Refuse(name + " has no local address: " + ErrnoText());
    }
    port_ = ntohs(address.ss_family == AF_INET6
                      ? reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port
                      : reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
    reserve_ = d;
  }
  if (reserve_ < 0) {
    return Refuse("no listening TCP socket among the descriptors handed over");
  }
  state_ = kAdopted;
  return state_;
}

std::string InheritedSocket::Unusable(int descriptor, bool local) {
  const struct {
    int option;
    int expected;
    int alternative;
    const char* otherwise;
  } kChecks[] = {
      {SO_DOMAIN, local ? AF_UNIX : AF_INET, local ? AF_UNIX : AF_INET6,
       "is not an IPv4, IPv6 or local socket"},
      {SO_TYPE, SOCK_STREAM, SOCK_STREAM, "is not a stream socket"},
      {SO_ACCEPTCONN, 1, 1, "is not listening"},
  };
  for (const auto& check : kChecks) {
    int value = 0;
    socklen_t length = sizeof value;
    if (getsockopt(descriptor, SOL_SOCKET, check.option, &value, &length) == -1) {
      return "is not a usable socket: " + ErrnoText();
    }
    if (value != check.expected && value != check.alternative) {
      return check.otherwise;
    }
  }
  return "";
}

int InheritedSocket::Take(std::string& reason) const { return Duplicate(reserve_, false, reason); }

int InheritedSocket::TakeLocal(std::string& reason) const {
  return Duplicate(local_, true, reason);
}

int InheritedSocket::Duplicate(int held, bool local, std::string& reason) {
  if (held < 0) {
    reason = "no socket was handed over";
    return -1;
  }
  reason = Unusable(held, local);
  if (!reason.empty()) {
    return -1;
  }
  // Above the standard descriptors, close-on-exec from birth: another thread
  // may fork a command at any moment.
  const int descriptor = fcntl(held, F_DUPFD_CLOEXEC, kFirstDescriptor);
  if (descriptor == -1) {
    reason = "cannot be duplicated: " + ErrnoText();
  }
  return descriptor;
}

int InheritedSocket::TakeListening(int configuredPort, std::string& failure) const {
  if (state_ == kRefused) {
    failure = "[ListenPort::_Initialize] : Socket handed over by the service manager refused: " +
              problem_;
    return -1;
  }
  const std::string portText = std::to_string(port_);
  std::string reason;
  const int descriptor = Take(reason);
  if (descriptor < 0) {
    // The port belongs to the manager's socket unit, which decides its
    // address and options: binding it here would compete with the manager.
    failure = "[ListenPort::_Initialize] : Socket handed over by the service manager on port " +
              portText + " " + reason + ".";
    return -1;
  }
  if (configuredPort != port_) {
    LogServer::Report(Info, "DL31021",
                      "[ListenPort::_Initialize] INFO : Listening on the socket handed over by the "
                      "service manager, port " +
                          portText + "; the configured port " + std::to_string(configuredPort) +
                          " is not used.");
  }
  return descriptor;
}
