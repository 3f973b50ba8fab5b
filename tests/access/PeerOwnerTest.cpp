#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/tcp.h>

#include "PeerOwner.h"
#include "TestCommon.h"
#include "TestSockets.h"

namespace {

PeerOwner::Endpoint EndpointOf(int fd, bool peer) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  (peer ? getpeername : getsockname)(fd, reinterpret_cast<sockaddr*>(&address), &length);
  return PeerOwner::Endpoint{ntohl(address.sin_addr.s_addr), ntohs(address.sin_port)};
}

// Every way of asking names the effective user that created the client end, until it is gone;
// asked the other way round, the daemon's own end answers: ours.
TEST(PeerOwnerTest, ClientEndBelongsToTheUserThatCreatedItUntilItIsGone) {
  int port = 0;
  const int listener = ListenOnLoopback(&port, 4);
  ASSERT_GE(listener, 0);
  const uid_t self = geteuid();
  const std::pair<uid_t, const char*> creators[] = {{self, "127.0.0.2"}, {65534, "127.0.0.1"}};
  for (const auto& [creator, from] : creators) {
    if (creator != self && self != 0) {
      printf("not root: no socket is created as nobody, so that case is not tried\n");
      continue;
    }
    SCOPED_TRACE(creator);
    ASSERT_EQ(seteuid(creator), 0);
    const int client = ConnectTcp(port, from);
    ASSERT_EQ(seteuid(self), 0);
    ASSERT_GE(client, 0);
    const int accepted = accept(listener, nullptr, nullptr);
    ASSERT_GE(accepted, 0);
    const PeerOwner::Endpoint clientEnd = EndpointOf(accepted, true);
    const PeerOwner::Endpoint local = EndpointOf(accepted, false);
    EXPECT_EQ(clientEnd.address, ntohl(inet_addr(from)));
    std::vector<uid_t> uids(4, 12345);
    EXPECT_TRUE(PeerOwner::OfAccepted(accepted, uids[0]));
    EXPECT_TRUE(PeerOwner::FromSockDiag(clientEnd, local, uids[1]));
    EXPECT_TRUE(PeerOwner::FromProcNetTcp(clientEnd, local, uids[2]));
    EXPECT_TRUE(PeerOwner::Find(local, clientEnd, uids[3]));
    EXPECT_EQ(uids, (std::vector<uid_t>{creator, creator, creator, self}));
    const linger abort{1, 0};
    setsockopt(client, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    close(client);
    uid_t uid = 0;
    EXPECT_FALSE(PeerOwner::Find(clientEnd, local, uid));
    // The kernel says so itself: the /proc scan has nothing more to find.
    bool answered = false;
    EXPECT_FALSE(PeerOwner::FromSockDiag(clientEnd, local, uid, &answered));
    EXPECT_TRUE(answered);
    close(accepted);
  }
  close(listener);
}

struct OwnerRow {
  const char* what;
  unsigned state;
  unsigned inode;
  uid_t uid;
  bool owner;
};

const OwnerRow kOwnerRows[] = {
    {"established and held", TCP_ESTABLISHED, 4711, 1000, true},
    {"half-closed by its owner, still held", TCP_FIN_WAIT2, 4711, 1000, true},
    {"sending side shut, not yet acknowledged", TCP_FIN_WAIT1, 4711, 1000, true},
    {"orphan closed by its owner", TCP_FIN_WAIT2, 0, 0, false},
    {"time-wait even with an inode", TCP_TIME_WAIT, 4711, 0, false},
    {"closing", TCP_CLOSING, 4711, 1000, false},
    {"close-wait", TCP_CLOSE_WAIT, 4711, 1000, false},
};

// 127.0.0.2:40000 -> 127.0.0.1:3003, as the kernel prints them.
const PeerOwner::Endpoint kClient{0x7F000002u, 40000};
const PeerOwner::Endpoint kServer{0x7F000001u, 3003};
const char kHeading[] =
    "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  "
    "timeout inode\n";

// A /proc/net/tcp row; the ends are the client's unless told otherwise.
std::string ProcRow(unsigned state, const std::string& uid, const std::string& inode,
                    const std::string& local = "0200007F:9C40",
                    const std::string& remote = "0100007F:0BBB") {
  char stateHex[3];
  snprintf(stateHex, sizeof stateHex, "%02X", state);
  return "   6: " + local + " " + remote + " " + stateHex +
         " 00000000:00000000 00:00000000 00000000  " + uid + " 0 " + inode + "\n";
}

void AppendDiag(std::vector<char>& reply, const OwnerRow& row, int family = AF_INET) {
  struct {
    nlmsghdr header;
    inet_diag_msg body;
  } message{};
  message.header.nlmsg_len = sizeof message;
  message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  message.body.idiag_family = static_cast<uint8_t>(family);
  message.body.idiag_state = static_cast<uint8_t>(row.state);
  message.body.idiag_uid = row.uid;
  message.body.idiag_inode = row.inode;
  message.body.id.idiag_sport = htons(kClient.port);
  message.body.id.idiag_dport = htons(kServer.port);
  const size_t word = family == AF_INET ? 0 : 3;
  if (family == AF_INET6) {
    message.body.id.idiag_src[2] = message.body.id.idiag_dst[2] = htonl(0xFFFFu);
  }
  message.body.id.idiag_src[word] = htonl(kClient.address);
  message.body.id.idiag_dst[word] = htonl(kServer.address);
  const char* bytes = reinterpret_cast<const char*>(&message);
  reply.insert(reply.end(), bytes, bytes + sizeof message);
}

TEST(PeerOwnerTableTest, OnlyAHeldSocketMatchingBothEndsHasAnOwnerAndGarbageIsSkipped) {
  for (const OwnerRow& row : kOwnerRows) {
    for (int family : {AF_INET, AF_INET6}) {
      std::vector<char> reply;
      AppendDiag(reply, row, family);
      uid_t uid = 77;
      EXPECT_EQ(PeerOwner::FromDiagReply(reply.data(), reply.size(), kClient, kServer, uid),
                row.owner)
          << row.what << " family " << family;
      EXPECT_EQ(uid, row.owner ? row.uid : 77u) << row.what;
    }
    uid_t uid = 77;
    const std::string table =
        kHeading + ProcRow(row.state, std::to_string(row.uid), std::to_string(row.inode));
    EXPECT_EQ(PeerOwner::FromProcTable(table, kClient, kServer, uid), row.owner) << row.what;
    EXPECT_EQ(uid, row.owner ? row.uid : 77u) << row.what;
  }
  // Truncated or mismatched replies are no answer.
  uid_t uid = 77;
  std::vector<char> reply;
  AppendDiag(reply, kOwnerRows[0]);
  EXPECT_FALSE(PeerOwner::FromDiagReply(reply.data(), reply.size() - 1, kClient, kServer, uid));
  EXPECT_FALSE(PeerOwner::FromDiagReply(reply.data(), reply.size(), kServer, kClient, uid));
  reply[offsetof(nlmsghdr, nlmsg_type)] = NLMSG_ERROR;
  EXPECT_FALSE(PeerOwner::FromDiagReply(reply.data(), reply.size(), kClient, kServer, uid));
  EXPECT_EQ(uid, 77u);
  const std::string rejected[] = {
      ProcRow(TCP_ESTABLISHED, "0", "1", "0100007F:0BBB", "0200007F:9C40"),  // ends swapped
      ProcRow(TCP_ESTABLISHED, "1001", "2", "0200007F:9C41"),                // another port
      ProcRow(TCP_ESTABLISHED, "1002", "5", "0200007F:9C401"),               // a digit too many
      ProcRow(TCP_ESTABLISHED, "-18446744073709551615", "3"),  // would wrap round to uid 1
      ProcRow(TCP_ESTABLISHED, "1000", "4711x"),
      "   4: 0200007F:9C40\n",
  };
  std::string all = kHeading;
  for (const std::string& row : rejected) {
    uid = 77;
    EXPECT_FALSE(PeerOwner::FromProcTable(kHeading + row, kClient, kServer, uid)) << row;
    EXPECT_EQ(uid, 77u) << row;
    all += row;
  }
  // Neither rows cut short nor a mini-socket listed first hide the real owner.
  const std::string owned = ProcRow(TCP_ESTABLISHED, "1000", "4711");
  uid = 77;
  EXPECT_TRUE(PeerOwner::FromProcTable(all + ProcRow(TCP_TIME_WAIT, "0", "0") + owned, kClient,
                                       kServer, uid));
  EXPECT_EQ(uid, 1000u);
  EXPECT_FALSE(PeerOwner::FromProcTable(owned, kClient, kServer, uid)) << "first line is a heading";
}

TEST(PeerOwnerTableTest, MappedAddressesCountAsTheirIPv4Address) {
  sockaddr_in6 mapped{};
  mapped.sin6_family = AF_INET6;
  mapped.sin6_port = htons(3003);
  inet_pton(AF_INET6, "::ffff:127.0.0.1", &mapped.sin6_addr);
  PeerOwner::Endpoint end{};
  ASSERT_TRUE(PeerOwner::FromSockaddr(reinterpret_cast<sockaddr*>(&mapped), end));
  EXPECT_EQ(std::make_pair(end.address, end.port), std::make_pair(0x7F000001u, uint16_t{3003}));
  inet_pton(AF_INET6, "::1", &mapped.sin6_addr);
  EXPECT_FALSE(PeerOwner::FromSockaddr(reinterpret_cast<sockaddr*>(&mapped), end));
  inet_pton(AF_INET6, "::fffe:127.0.0.1", &mapped.sin6_addr);
  EXPECT_FALSE(PeerOwner::FromSockaddr(reinterpret_cast<sockaddr*>(&mapped), end));
}

}  // namespace
