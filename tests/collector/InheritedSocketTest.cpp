#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "InheritedSocket.h"
#include "TestSockets.h"

namespace {

enum Kind { kTcpListening, kTcp6Listening, kTcpNotListening, kUdp, kUnixListening, kPipe, kClosed };

// A descriptor of the given kind, without close-on-exec (as a service
// manager hands it over); *port gets the TCP port where there is one.
int Make(Kind kind, int* port) {
  if (kind == kPipe || kind == kClosed) {
    int ends[2];
    if (pipe(ends) != 0) {
      return -1;
    }
    close(ends[1]);
    if (kind == kClosed) {
      close(ends[0]);
    }
    return ends[0];
  }
  if (kind == kUnixListening) {
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;  // unnamed: autobind gives it an abstract name
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(sa_family_t));
    listen(fd, 1);
    return fd;
  }
  if (kind == kTcp6Listening) {
    const int fd = socket(AF_INET6, SOCK_STREAM, 0);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), length);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    *port = ntohs(address.sin6_port);
    listen(fd, 4);
    return fd;
  }
  const int fd = BindLoopback(kind == kUdp ? SOCK_DGRAM : SOCK_STREAM, port);
  fcntl(fd, F_SETFD, 0);
  if (kind == kTcpListening) {
    listen(fd, 4);
  }
  return fd;
}

int Domain(int fd) {
  int domain = 0;
  socklen_t length = sizeof domain;
  getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &length);
  return domain;
}

void SetOrUnset(const char* name, const char* value) {
  if (value == nullptr) {
    unsetenv(name);
  } else {
    setenv(name, value, 1);
  }
}

TEST(InheritedSocketTest, OnlyOneListeningTcpStreamSocketHandedToThisProcessIsAdopted) {
  const std::string self = std::to_string(getpid());
  const std::string other = std::to_string(getpid() + 1);
  struct Case {
    const char* pid;  // "self", "other" or a literal value
    const char* count;
    Kind kind;
    InheritedSocket::State state;
    const char* problem;  // part of Problem()
  } kCases[] = {
      {nullptr, nullptr, kTcpListening, InheritedSocket::kNone, ""},
      {"self", nullptr, kTcpListening, InheritedSocket::kNone, ""},
      {nullptr, "1", kTcpListening, InheritedSocket::kNone, ""},
      {"other", "1", kTcpListening, InheritedSocket::kNone, ""},
      {"x", "1", kTcpListening, InheritedSocket::kNone, ""},
      {"self", "0", kTcpListening, InheritedSocket::kNone, ""},
      {"self", "1", kTcpListening, InheritedSocket::kAdopted, ""},
      {"self", "01", kTcpListening, InheritedSocket::kAdopted, ""},
      {"self", "3", kTcpListening, InheritedSocket::kRefused, "3 descriptors handed over"},
      {"self", "-1", kTcpListening, InheritedSocket::kRefused, "not a number"},
      {"self", "1x", kTcpListening, InheritedSocket::kRefused, "not a number"},
      {"self", "99999999999999999999", kTcpListening, InheritedSocket::kRefused, "not a number"},
      {"self", "1", kTcpNotListening, InheritedSocket::kRefused, "is not listening"},
      {"self", "1", kUdp, InheritedSocket::kRefused, "is not a stream socket"},
      {"self", "1", kUnixListening, InheritedSocket::kRefused, "no listening TCP socket"},
      {"self", "1", kPipe, InheritedSocket::kRefused, "Socket operation on non-socket"},
      {"self", "1", kClosed, InheritedSocket::kRefused, "Bad file descriptor"},
  };
  for (const Case& c : kCases) {
    const std::string pid = c.pid == nullptr                ? ""
                            : std::string(c.pid) == "self"  ? self
                            : std::string(c.pid) == "other" ? other
                                                            : c.pid;
    SCOPED_TRACE(pid + " / " + (c.count ? c.count : "(unset)") + " / kind " +
                 std::to_string(c.kind));
    int port = 0;
    const int fd = Make(c.kind, &port);
    SetOrUnset("LISTEN_PID", c.pid == nullptr ? nullptr : pid.c_str());
    SetOrUnset("LISTEN_FDS", c.count);
    setenv("LISTEN_FDNAMES", "vigild.socket", 1);
    {
      InheritedSocket inherited;
      EXPECT_EQ(c.state, inherited.TakeFromEnvironment(fd));
      EXPECT_EQ(c.state, inherited.state());
      EXPECT_NE(std::string::npos, inherited.Problem().find(c.problem)) << inherited.Problem();
      EXPECT_EQ(c.state == InheritedSocket::kRefused, !inherited.Problem().empty());
      // Never left for the commands the daemon starts.
      EXPECT_EQ(nullptr, getenv("LISTEN_PID"));
      EXPECT_EQ(nullptr, getenv("LISTEN_FDS"));
      EXPECT_EQ(nullptr, getenv("LISTEN_FDNAMES"));
      if (c.kind != kClosed) {
        // A descriptor handed to this process is close-on-exec, whatever
        // became of it; one that was not is left alone.
        EXPECT_EQ(c.state != InheritedSocket::kNone, (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0);
      }
      std::string reason;
      const int taken = inherited.Take(reason);
      if (c.state == InheritedSocket::kAdopted) {
        EXPECT_EQ(port, inherited.Port());
        EXPECT_NE(0, fcntl(fd, F_GETFL) & O_NONBLOCK);
        ASSERT_GE(taken, 3) << reason;
        EXPECT_NE(fd, taken);
        EXPECT_NE(0, fcntl(taken, F_GETFD) & FD_CLOEXEC);
        close(taken);
      } else {
        EXPECT_EQ(-1, taken);
        EXPECT_EQ(0, inherited.Port());
      }
    }
    // The adopted descriptor is the object's, closed with it; others are not.
    EXPECT_EQ(c.state == InheritedSocket::kAdopted || c.kind == kClosed, fcntl(fd, F_GETFD) == -1);
    if (c.state != InheritedSocket::kAdopted) {
      close(fd);
    }
  }
}

TEST(InheritedSocketTest, TcpAndLocalSocketsAreToldApartByFamily) {
  constexpr int kFirst = 200;
  struct Case {
    const char* what;
    std::vector<Kind> kinds;
    InheritedSocket::State state;
    bool local;
    const char* problem;
  } kCases[] = {
      {"TCP then local", {kTcpListening, kUnixListening}, InheritedSocket::kAdopted, true, ""},
      {"local then TCP", {kUnixListening, kTcpListening}, InheritedSocket::kAdopted, true, ""},
      {"IPv6 alone", {kTcp6Listening}, InheritedSocket::kAdopted, false, ""},
      {"IPv6 and local", {kTcp6Listening, kUnixListening}, InheritedSocket::kAdopted, true, ""},
      {"two TCP",
       {kTcpListening, kTcp6Listening},
       InheritedSocket::kRefused,
       false,
       "second TCP socket"},
      {"two local",
       {kUnixListening, kUnixListening},
       InheritedSocket::kRefused,
       false,
       "second local socket"},
      {"local not TCP",
       {kUnixListening, kUdp},
       InheritedSocket::kRefused,
       false,
       "is not a stream socket"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    int tcpPort = 0;
    for (size_t i = 0; i < c.kinds.size(); ++i) {
      int port = 0;
      const int fd = Make(c.kinds[i], &port);
      ASSERT_EQ(kFirst + static_cast<int>(i), dup2(fd, kFirst + static_cast<int>(i)));
      close(fd);
      if (c.kinds[i] == kTcpListening || c.kinds[i] == kTcp6Listening) {
        tcpPort = port;
      }
    }
    setenv("LISTEN_PID", std::to_string(getpid()).c_str(), 1);
    setenv("LISTEN_FDS", std::to_string(c.kinds.size()).c_str(), 1);
    {
      InheritedSocket inherited;
      EXPECT_EQ(c.state, inherited.TakeFromEnvironment(kFirst));
      EXPECT_NE(std::string::npos, inherited.Problem().find(c.problem)) << inherited.Problem();
      EXPECT_EQ(c.local, inherited.HasLocal());
      std::string reason;
      const int tcp = inherited.Take(reason);
      const int local = inherited.TakeLocal(reason);
      EXPECT_EQ(c.state == InheritedSocket::kAdopted, tcp >= 0);
      EXPECT_EQ(c.local, local >= 0);
      if (tcp >= 0) {
        EXPECT_EQ(tcpPort, inherited.Port());
        EXPECT_TRUE(Domain(tcp) == AF_INET || Domain(tcp) == AF_INET6);
        close(tcp);
      }
      if (local >= 0) {
        EXPECT_EQ(AF_UNIX, Domain(local));
        EXPECT_NE(0, fcntl(local, F_GETFD) & FD_CLOEXEC);
        close(local);
      }
    }
    for (size_t i = 0; i < c.kinds.size(); ++i) {
      close(kFirst + static_cast<int>(i));
    }
  }
}

}  // namespace
