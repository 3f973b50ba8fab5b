#include "TestSockets.h"

#include <arpa/inet.h>
#include <errno.h>

#include <cstdint>

#include "TestCommon.h"

namespace {

sockaddr_in Address(const char* ip, int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, ip, &address.sin_addr);
  return address;
}

}  // namespace

int BindLoopback(int type, int* port) {
  const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
  sockaddr_in address = Address("127.0.0.1", 0);
  socklen_t length = sizeof address;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    close(fd);
    return -1;
  }
  *port = ntohs(address.sin_port);
  return fd;
}

int ListenOnLoopback(int* port, int backlog) {
  const int fd = BindLoopback(SOCK_STREAM, port);
  if (fd >= 0 && listen(fd, backlog) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int ConnectTcp(int port, const char* from, const char* to, bool blocking) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (blocking ? 0 : SOCK_NONBLOCK), 0);
  const sockaddr_in local = Address(from, 0);
  const sockaddr_in remote = Address(to, port);
  // The source port is left to connect, which draws from the other half of the
  // range than a bind to port 0: a daemon of a parallel test that was just told
  // a free port then finds it still free.
  const int late = 1;
  setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &late, sizeof late);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
      (connect(fd, reinterpret_cast<const sockaddr*>(&remote), sizeof remote) != 0 &&
       (blocking || errno != EINPROGRESS))) {
    close(fd);
    return -1;
  }
  return fd;
}

int AcceptWithin(int listener, int timeoutMs) {
  pollfd ready{listener, POLLIN, 0};
  return poll(&ready, 1, timeoutMs) == 1 ? accept(listener, nullptr, nullptr) : -1;
}
