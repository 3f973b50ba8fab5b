// PeerOwner: which local user owns the other end of an accepted TCP
// connection. The client end of a loopback or same-host connection is a
// socket of this host's kernel, which knows its owner: the answer comes from
// the NETLINK_SOCK_DIAG inet-diag exact lookup, or, where that is not
// available, from the /proc/net/tcp table, in both cases matched on both
// ends' address and port. Only a socket its owner still holds answers: one
// bound to a file (inode not 0), connected or half-closed by its owner. An
// orphan or a time-wait mini-socket, which the kernel lists with uid 0, has
// no owner. IPv4-mapped IPv6 addresses count as the IPv4 address. A peer on
// another host has no owner here.
//
// No objects: static functions only. Safe for concurrent use.
#ifndef VIGILD_ACCESS_PEEROWNER_H
#define VIGILD_ACCESS_PEEROWNER_H

#include <stdint.h>
#include <stddef.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <string>

class PeerOwner {
 public:
  // One end of a TCP connection, both fields in host byte order.
  struct Endpoint {
    uint32_t address;
    uint16_t port;
  };

  // The owner of the client end of the accepted socket; false when it
  // cannot be determined (a remote peer, a client already gone, no source).
  static bool OfAccepted(int socket, uid_t& uid);

  // The owner of the socket whose local end is client and whose remote end
  // is server: the inet-diag lookup first, then /proc/net/tcp.
  static bool Find(const Endpoint& client, const Endpoint& server, uid_t& uid);
  // `answered` (when given) tells whether the kernel answered the lookup,
  // found or not: only a kernel that cannot answer leaves the /proc scan
  // anything to find.
  static bool FromSockDiag(const Endpoint& client, const Endpoint& server, uid_t& uid,
                           bool* answered = nullptr);
  static bool FromProcNetTcp(const Endpoint& client, const Endpoint& server, uid_t& uid);
  // The same match in one inet-diag reply as the kernel sends it.
  static bool FromDiagReply(const char* reply, size_t length, const Endpoint& client,
                            const Endpoint& server, uid_t& uid);
  // The endpoint of an AF_INET address, or of an IPv4-mapped AF_INET6 one;
  // false for any other.
  static bool FromSockaddr(const sockaddr* address, Endpoint& out);
  // The same match in the text of a /proc/net/tcp table; malformed rows are
  // skipped.
  static bool FromProcTable(const std::string& table, const Endpoint& client,
                            const Endpoint& server, uid_t& uid);
};

#endif  // VIGILD_ACCESS_PEEROWNER_H
