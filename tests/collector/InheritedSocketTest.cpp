#include <sys/un.h>

#include "InheritedSocket.h"
#include "TestCommon.h"
#include "TestSockets.h"

namespace {

enum Kind { kTcpListening, kTcp6Listening, kTcpNotListening, kUdp, kUnixListening, kPipe, kClosed };

// A descriptor of the given kind (kClosed: none), put at `at` without close-on-exec as a service
// manager hands it over; returns the TCP port where there is one.
int Make(Kind kind, int at) {
  int fd = -1, port = 0, ends[2];
  if (kind == kPipe && pipe(ends) == 0) {
    close(ends[1]);
    fd = ends[0];
  } else if (kind == kUnixListening) {
    fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{AF_UNIX, {}};  // unnamed: autobind gives it an abstract name
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(sa_family_t));
  } else if (kind == kTcp6Listening) {
    fd = socket(AF_INET6, SOCK_STREAM, 0);
    sockaddr_in6 address{AF_INET6, 0, 0, in6addr_loopback, 0};
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), length);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin6_port);
  } else if (kind != kClosed) {
    fd = BindLoopback(kind == kUdp ? SOCK_DGRAM : SOCK_STREAM, &port);
  }
  if (kind == kTcpListening || kind == kTcp6Listening || kind == kUnixListening) {
    listen(fd, 4);
  }
  close(at);
  if (fd >= 0) {
    EXPECT_EQ(at, dup2(fd, at));  // the copy is not close-on-exec
    close(fd);
  }
  return port;
}

// Only a handover to this process counts: one listening TCP stream socket (IPv4 or IPv6) and at
// most one listening local socket, told apart by family. Whatever the outcome, no command the
// daemon starts inherits the handover; what is adopted is held until the object ends.
TEST(InheritedSocketTest, OnlyOneListeningTcpAndOneLocalSocketHandedToThisProcessAreAdopted) {
  constexpr int kFirst = 200;
  const auto kNone = InheritedSocket::kNone, kAdopted = InheritedSocket::kAdopted,
             kRefused = InheritedSocket::kRefused;
  const std::string selfPid = std::to_string(getpid()), otherPid = std::to_string(getpid() + 1);
  const char *self = selfPid.c_str(), *other = otherPid.c_str();
  struct Case {
    const char *pid, *count;  // null: unset
    std::vector<Kind> kinds;
    InheritedSocket::State state;
    bool local;
    const char* problem;  // part of Problem()
  } kCases[] = {
      {nullptr, nullptr, {kTcpListening}, kNone, false, ""},
      {self, nullptr, {kTcpListening}, kNone, false, ""},
      {nullptr, "1", {kTcpListening}, kNone, false, ""},
      {other, "1", {kTcpListening}, kNone, false, ""},
      {"x", "1", {kTcpListening}, kNone, false, ""},
      {self, "0", {kTcpListening}, kNone, false, ""},
      {self, "1", {kTcpListening}, kAdopted, false, ""},
      {self, "01", {kTcpListening}, kAdopted, false, ""},
      {self, "3", {kTcpListening}, kRefused, false, "3 descriptors handed over"},
      {self, "-1", {kTcpListening}, kRefused, false, "not a number"},
      {self, "1x", {kTcpListening}, kRefused, false, "not a number"},
      {self, "99999999999999999999", {kTcpListening}, kRefused, false, "not a number"},
      {self, "1", {kTcpNotListening}, kRefused, false, "is not listening"},
      {self, "1", {kUdp}, kRefused, false, "is not a stream socket"},
      {self, "1", {kUnixListening}, kRefused, false, "no listening TCP socket"},
      {self, "1", {kPipe}, kRefused, false, "Socket operation on non-socket"},
      {self, "1", {kClosed}, kRefused, false, "Bad file descriptor"},
      {self, "1", {kTcp6Listening}, kAdopted, false, ""},
      {self, "2", {kTcpListening, kUnixListening}, kAdopted, true, ""},
      {self, "2", {kUnixListening, kTcpListening}, kAdopted, true, ""},
      {self, "2", {kTcp6Listening, kUnixListening}, kAdopted, true, ""},
      {self, "2", {kTcpListening, kTcp6Listening}, kRefused, false, "second TCP socket"},
      {self, "2", {kUnixListening, kUnixListening}, kRefused, false, "second local socket"},
      {self, "2", {kUnixListening, kUdp}, kRefused, false, "is not a stream socket"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(&c - kCases);
    const int end = kFirst + static_cast<int>(c.kinds.size());
    int port = 0;  // of the one TCP socket when adopted
    for (int fd = kFirst; fd < end; ++fd) {
      port += Make(c.kinds[fd - kFirst], fd);
    }
    c.pid == nullptr ? unsetenv("LISTEN_PID") : setenv("LISTEN_PID", c.pid, 1);
    c.count == nullptr ? unsetenv("LISTEN_FDS") : setenv("LISTEN_FDS", c.count, 1);
    setenv("LISTEN_FDNAMES", "vigild.socket", 1);
    {
      InheritedSocket inherited;
      EXPECT_EQ(c.state, inherited.TakeFromEnvironment(kFirst));
      EXPECT_EQ(c.state, inherited.state());
      EXPECT_NE(std::string::npos, inherited.Problem().find(c.problem)) << inherited.Problem();
      EXPECT_EQ(c.state == kRefused, !inherited.Problem().empty());
      EXPECT_FALSE(getenv("LISTEN_PID") || getenv("LISTEN_FDS") || getenv("LISTEN_FDNAMES"));
      // A descriptor handed to this process is close-on-exec, whatever became of it; one that
      // was not is left alone.
      for (int fd = kFirst; fd < end; ++fd) {
        if (c.kinds[fd - kFirst] != kClosed) {
          EXPECT_EQ(c.state != kNone, (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0) << fd;
          EXPECT_TRUE(c.state != kAdopted || (fcntl(fd, F_GETFL) & O_NONBLOCK) != 0) << fd;
        }
      }
      EXPECT_EQ(c.local, inherited.HasLocal());
      std::string reason;
      const int tcp = inherited.Take(reason), local = inherited.TakeLocal(reason);
      EXPECT_EQ(c.state == kAdopted, tcp >= 3) << reason;
      EXPECT_EQ(c.local, local >= 3);
      EXPECT_EQ(c.state == kAdopted ? port : 0, inherited.Port());
      for (const int taken : {tcp, local}) {
        if (taken >= 0) {
          EXPECT_TRUE(taken < kFirst || taken >= end) << "not a fresh descriptor";
          EXPECT_NE(0, fcntl(taken, F_GETFD) & FD_CLOEXEC);
          int domain = 0;
          socklen_t length = sizeof domain;
          getsockopt(taken, SOL_SOCKET, SO_DOMAIN, &domain, &length);
          EXPECT_EQ(taken == local                 ? AF_UNIX
                    : c.kinds[0] == kTcp6Listening ? AF_INET6
                                                   : AF_INET,
                    domain);
          close(taken);
        }
      }
    }
    // What was adopted is the object's, closed with it; the rest is not.
    for (int fd = kFirst; fd < end; ++fd) {
      EXPECT_EQ(c.state == kAdopted || c.kinds[fd - kFirst] == kClosed, fcntl(fd, F_GETFD) == -1)
          << fd;
      close(fd);
    }
  }
}

}  // namespace
