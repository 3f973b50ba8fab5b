#include "InheritedSocket.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include "ListenPort.h"

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

std::string ErrnoText() {
  std::string text;
  ListenPort::GetLastListennerError(text);
  return text;
}

}  // namespace

InheritedSocket::InheritedSocket() : state_(kNone), reserve_(-1), port_(0) {}

InheritedSocket::~InheritedSocket() {
  if (reserve_ >= 0) {
    close(reserve_);
  }
}

InheritedSocket::State InheritedSocket::Refuse(const std::string& why) {
  problem_ = why;
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
  if (count != 1) {
    // Whatever was handed must not reach the commands the daemon starts.
    for (long d = 0; d < count && d < kMaxHandedDescriptors; ++d) {
      fcntl(firstDescriptor + static_cast<int>(d), F_SETFD, FD_CLOEXEC);
    }
    return Refuse(std::to_string(count) +
                  " descriptors handed over, one listening socket expected");
  }
  fcntl(firstDescriptor, F_SETFD, FD_CLOEXEC);
  const std::string why = Unusable(firstDescriptor);
  if (!why.empty()) {
    return Refuse("descriptor " + std::to_string(firstDescriptor) + " " + why);
  }
  const int flags = fcntl(firstDescriptor, F_GETFL);
  if (flags == -1 || fcntl(firstDescriptor, F_SETFL, flags | O_NONBLOCK) == -1) {
    return Refuse("descriptor " + std::to_string(firstDescriptor) +
                  " cannot be made non-blocking: " + ErrnoText());
  }
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (getsockname(firstDescriptor, reinterpret_cast<sockaddr*>(&address), &length) == -1) {
    return Refuse("descriptor " + std::to_string(firstDescriptor) +
                  " has no local address: " + ErrnoText());
  }
  port_ = ntohs(address.sin_port);
  reserve_ = firstDescriptor;
  state_ = kAdopted;
  return state_;
}

std::string InheritedSocket::Unusable(int descriptor) {
  const struct {
    int option;
    int expected;
    const char* otherwise;
  } kChecks[] = {
      {SO_DOMAIN, AF_INET, "is not an IPv4 socket"},
      {SO_TYPE, SOCK_STREAM, "is not a stream socket"},
      {SO_ACCEPTCONN, 1, "is not listening"},
  };
  for (const auto& check : kChecks) {
    int value = 0;
    socklen_t length = sizeof value;
    if (getsockopt(descriptor, SOL_SOCKET, check.option, &value, &length) == -1) {
      return "is not a usable socket: " + ErrnoText();
    }
    if (value != check.expected) {
      return check.otherwise;
    }
  }
  return "";
}

int InheritedSocket::Take(std::string& reason) const {
  if (reserve_ < 0) {
    reason = "no socket was handed over";
    return -1;
  }
  reason = Unusable(reserve_);
  if (!reason.empty()) {
    return -1;
  }
  // Above the standard descriptors, close-on-exec from birth: another thread
  // may fork a command at any moment.
  const int descriptor = fcntl(reserve_, F_DUPFD_CLOEXEC, kFirstDescriptor);
  if (descriptor == -1) {
    reason = "cannot be duplicated: " + ErrnoText();
  }
  return descriptor;
}
