#include "PeerOwner.h"

#include <arpa/inet.h>
#include <errno.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace {

// The kernel answers an exact lookup at once; the wait only bounds a kernel
// that never answers.
constexpr int kDiagWaitMs = 1000;

// The states of a client end that its owner still holds: connected, or
// with its sending side shut down while it waits for the daemon's answer.
// Any other state, and any socket no longer bound to a file (inode 0, an
// orphan or a time-wait mini-socket the kernel lists with uid 0), has no
// owner to speak of.
bool HeldState(unsigned state) {
  return state == TCP_ESTABLISHED || state == TCP_FIN_WAIT1 || state == TCP_FIN_WAIT2;
}

// The IPv4 address inside an IPv4-mapped IPv6 address (::ffff:a.b.c.d),
// host byte order; false for every other IPv6 address.
bool MappedAddress(const uint32_t words[4], uint32_t& address) {
  if (words[0] != 0 || words[1] != 0 || words[2] != htonl(0xFFFFu)) {
    return false;
  }
  address = ntohl(words[3]);
  return true;
}

bool Endpoints(const sockaddr_storage& in, PeerOwner::Endpoint& out) {
  return PeerOwner::FromSockaddr(reinterpret_cast<const sockaddr*>(&in), out);
}

// Exactly `count` hexadecimal digits at text into value.
bool ParseHex(const char* text, size_t count, unsigned long& value) {
  value = 0;
  for (size_t i = 0; i < count; ++i) {
    const char c = text[i];
    const int digit = c >= '0' && c <= '9'   ? c - '0'
                      : c >= 'A' && c <= 'F' ? c - 'A' + 10
                      : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                             : -1;
    if (digit < 0) {
      return false;
    }
    value = value * 16 + static_cast<unsigned long>(digit);
  }
  return true;
}

// "0100007F:0BB8": the address as the kernel prints the raw network-order
// word, then the port in host order.
bool ParseProcEndpoint(const std::string& text, PeerOwner::Endpoint& out) {
  unsigned long word = 0;
  unsigned long port = 0;
  if (text.size() != 13 || text[8] != ':' || !ParseHex(text.data(), 8, word) ||
      !ParseHex(text.data() + 9, 4, port)) {
    return false;
  }
  out.address = ntohl(static_cast<uint32_t>(word));
  out.port = static_cast<uint16_t>(port);
  return true;
}

bool Same(const PeerOwner::Endpoint& a, const PeerOwner::Endpoint& b) {
  return a.address == b.address && a.port == b.port;
}

// Closes the descriptor on every path out of the lookup.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) {
      close(fd_);
    }
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  const int fd_;
};

}  // namespace

bool PeerOwner::FromSockaddr(const sockaddr* address, Endpoint& out) {
  if (address->sa_family == AF_INET) {
    const sockaddr_in* in = reinterpret_cast<const sockaddr_in*>(address);
    out.address = ntohl(in->sin_addr.s_addr);
    out.port = ntohs(in->sin_port);
    return true;
  }
  if (address->sa_family == AF_INET6) {
    const sockaddr_in6* in6 = reinterpret_cast<const sockaddr_in6*>(address);
    uint32_t words[4];
    memcpy(words, &in6->sin6_addr, sizeof words);
    out.port = ntohs(in6->sin6_port);
    return MappedAddress(words, out.address);
  }
  return false;
}

bool PeerOwner::OfAccepted(int socket, uid_t& uid) {
  sockaddr_storage peer{};
  sockaddr_storage local{};
  socklen_t peerLength = sizeof peer;
  socklen_t localLength = sizeof local;
  if (getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0 ||
      getsockname(socket, reinterpret_cast<sockaddr*>(&local), &localLength) != 0) {
    return false;
  }
  Endpoint client{};
  Endpoint server{};
  if (!Endpoints(peer, client) || !Endpoints(local, server)) {
    return false;
  }
  return Find(client, server, uid);
}

bool PeerOwner::Find(const Endpoint& client, const Endpoint& server, uid_t& uid) {
  // The /proc table is read whole for every lookup: under a burst of
  // clients that leave at once, scanning it for each would grow with the
  // square of the burst. It is read only where the kernel cannot answer.
  bool answered = false;
  return FromSockDiag(client, server, uid, &answered) ||
         (!answered && FromProcNetTcp(client, server, uid));
}

bool PeerOwner::FromSockDiag(const Endpoint& client, const Endpoint& server, uid_t& uid,
                             bool* answered) {
  Descriptor fd(socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
  if (fd.get() < 0) {
    return false;
  }
  const timeval wait{kDiagWaitMs / 1000, (kDiagWaitMs % 1000) * 1000};
  setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);

  struct {
    nlmsghdr header;
    inet_diag_req_v2 body;
  } request{};
  request.header.nlmsg_len = sizeof request;
  request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  request.header.nlmsg_flags = NLM_F_REQUEST;
  request.header.nlmsg_seq = 1;
  request.body.sdiag_family = AF_INET;
  request.body.sdiag_protocol = IPPROTO_TCP;
  request.body.idiag_states = ~0u;
  // The exact lookup finds the socket whose own end is src:sport.
  request.body.id.idiag_sport = htons(client.port);
  request.body.id.idiag_dport = htons(server.port);
  request.body.id.idiag_src[0] = htonl(client.address);
  request.body.id.idiag_dst[0] = htonl(server.address);
  request.body.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  request.body.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  ssize_t sent;
  do {
    sent = sendto(fd.get(), &request, sizeof request, 0, reinterpret_cast<sockaddr*>(&kernel),
                  sizeof kernel);
  } while (sent < 0 && errno == EINTR);
  if (sent != static_cast<ssize_t>(sizeof request)) {
    return false;
  }

  alignas(nlmsghdr) char buffer[8192];
  ssize_t received;
  do {
    received = recv(fd.get(), buffer, sizeof buffer, 0);
  } while (received < 0 && errno == EINTR);
  if (received <= 0) {
    return false;
  }
  if (answered != nullptr && static_cast<size_t>(received) >= sizeof(nlmsghdr)) {
    // A socket listed, or "no such socket"; any other error means the lookup
    // itself is not supported.
    nlmsghdr first;
    memcpy(&first, buffer, sizeof first);
    int error = 0;
    if (first.nlmsg_type == NLMSG_ERROR &&
        static_cast<size_t>(received) >= NLMSG_HDRLEN + sizeof error) {
      memcpy(&error, buffer + NLMSG_HDRLEN, sizeof error);
    }
    *answered = first.nlmsg_type == SOCK_DIAG_BY_FAMILY ||
                (first.nlmsg_type == NLMSG_ERROR && error == -ENOENT);
  }
  return FromDiagReply(buffer, static_cast<size_t>(received), client, server, uid);
}

bool PeerOwner::FromDiagReply(const char* reply, size_t length, const Endpoint& client,
                              const Endpoint& server, uid_t& uid) {
  // The reply is walked by hand rather than with the NLMSG_OK/NLMSG_NEXT
  // macros, which cast away const and compare signed with unsigned.
  size_t remaining = length;
  const char* at = reply;
  while (remaining >= sizeof(nlmsghdr)) {
    nlmsghdr message;
    memcpy(&message, at, sizeof message);
    if (message.nlmsg_len < sizeof(nlmsghdr) || message.nlmsg_len > remaining) {
      return false;
    }
    if (message.nlmsg_type != SOCK_DIAG_BY_FAMILY ||
        message.nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) {
      // NLMSG_ERROR: no such socket, or the lookup is not supported.
      return false;
    }
    inet_diag_msg found;
    memcpy(&found, at + NLMSG_HDRLEN, sizeof found);
    const size_t step = NLMSG_ALIGN(message.nlmsg_len);
    at += step < remaining ? step : remaining;
    remaining -= step < remaining ? step : remaining;
    Endpoint own{ntohl(found.id.idiag_src[0]), ntohs(found.id.idiag_sport)};
    Endpoint remote{ntohl(found.id.idiag_dst[0]), ntohs(found.id.idiag_dport)};
    // A client of an IPv6 socket speaking to an IPv4 address is listed
    // with both ends mapped.
    if (found.idiag_family == AF_INET6 && (!MappedAddress(found.id.idiag_src, own.address) ||
                                           !MappedAddress(found.id.idiag_dst, remote.address))) {
      continue;
    }
    if (found.idiag_family != AF_INET && found.idiag_family != AF_INET6) {
      continue;
    }
    if (HeldState(found.idiag_state) && found.idiag_inode != 0 && Same(own, client) &&
        Same(remote, server)) {
      uid = found.idiag_uid;
      return true;
    }
  }
  return false;
}

bool PeerOwner::FromProcNetTcp(const Endpoint& client, const Endpoint& server, uid_t& uid) {
  std::ifstream in("/proc/net/tcp");
  if (!in) {
    return false;
  }
  std::stringstream text;
  text << in.rdbuf();
  return FromProcTable(text.str(), client, server, uid);
}

bool PeerOwner::FromProcTable(const std::string& table, const Endpoint& client,
                              const Endpoint& server, uid_t& uid) {
  std::istringstream lines(table);
  std::string line;
  std::getline(lines, line);  // the heading
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retransmits, owner, timeout, inode;
    if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> owner >>
          timeout >> inode)) {
      continue;
    }
    Endpoint own{};
    Endpoint other{};
    unsigned long stateNumber = 0;
    if (state.size() != 2 || !ParseHex(state.data(), 2, stateNumber) ||
        !HeldState(static_cast<unsigned>(stateNumber)) ||
        inode.find_first_not_of('0') == std::string::npos ||
        inode.find_first_not_of("0123456789") != std::string::npos ||
        !ParseProcEndpoint(local, own) || !ParseProcEndpoint(remote, other) ||
        !Same(own, client) || !Same(other, server)) {
      continue;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long number = strtoul(owner.c_str(), &end, 10);
    if (owner.empty() || *end != '\0' || errno != 0 || owner[0] == '-' ||
        number >= static_cast<unsigned long>(static_cast<uid_t>(-1))) {
      continue;
    }
    uid = static_cast<uid_t>(number);
    return true;
  }
  return false;
}
