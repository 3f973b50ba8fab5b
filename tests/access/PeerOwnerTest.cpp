#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "PeerOwner.h"
#include "TestSockets.h"

namespace {

constexpr uid_t kNobody = 65534;

PeerOwner::Endpoint EndpointOf(int fd, bool peer) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (peer) {
    getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length);
  } else {
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  }
  return PeerOwner::Endpoint{ntohl(address.sin_addr.s_addr), ntohs(address.sin_port)};
}

class PeerOwnerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int port = 0;
    listener = ListenOnLoopback(&port, 4);
    ASSERT_GE(listener, 0);
    server = EndpointOf(listener, false);
  }
  void TearDown() override { close(listener); }

  // Every way of asking, for the client end of the accepted connection.
  static void ExpectOwner(int accepted, uid_t expected) {
    const PeerOwner::Endpoint client = EndpointOf(accepted, true);
    const PeerOwner::Endpoint local = EndpointOf(accepted, false);
    uid_t uid = 12345;
    EXPECT_TRUE(PeerOwner::OfAccepted(accepted, uid));
    EXPECT_EQ(uid, expected);
    uid = 12345;
    EXPECT_TRUE(PeerOwner::FromSockDiag(client, local, uid));
    EXPECT_EQ(uid, expected);
    uid = 12345;
    EXPECT_TRUE(PeerOwner::FromProcNetTcp(client, local, uid));
    EXPECT_EQ(uid, expected);
    // Asked the other way round, the daemon's own end answers: ours.
    uid = 12345;
    EXPECT_TRUE(PeerOwner::Find(local, client, uid));
    EXPECT_EQ(uid, geteuid());
  }

  int listener = -1;
  PeerOwner::Endpoint server{};
};

TEST_F(PeerOwnerTest, OwnerOfOurOwnLoopbackClientIsUs) {
  const int client = ConnectTcp(server.port, "127.0.0.2");
  ASSERT_GE(client, 0);
  const int accepted = accept(listener, nullptr, nullptr);
  ASSERT_GE(accepted, 0);
  EXPECT_EQ(EndpointOf(accepted, true).address, 0x7F000002u);
  ExpectOwner(accepted, geteuid());
  // Once the client is gone, nobody owns that end any more.
  const PeerOwner::Endpoint clientEnd = EndpointOf(accepted, true);
  const PeerOwner::Endpoint local = EndpointOf(accepted, false);
  struct linger abort {
    1, 0
  };
  setsockopt(client, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  close(client);
  uid_t uid = 0;
  EXPECT_FALSE(PeerOwner::Find(clientEnd, local, uid));
  close(accepted);
}

TEST_F(PeerOwnerTest, SocketCreatedByAnotherUserReportsThatUser) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root to create a socket as nobody";
  }
  int ready[2];
  int release[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(release), 0);
  const pid_t child = fork();
  if (child == 0) {
    close(ready[0]);
    close(release[1]);
    if (setgid(kNobody) != 0 || setuid(kNobody) != 0) {
      _exit(2);
    }
    const int fd = ConnectTcp(server.port);
    const char ok = fd >= 0 ? 'y' : 'n';
    char ignored;
    if (write(ready[1], &ok, 1) != 1 || read(release[0], &ignored, 1) < 0) {
      _exit(3);
    }
    _exit(0);
  }
  close(ready[1]);
  close(release[0]);
  char ok = 0;
  ASSERT_EQ(read(ready[0], &ok, 1), 1);
  ASSERT_EQ(ok, 'y');
  const int accepted = accept(listener, nullptr, nullptr);
  ASSERT_GE(accepted, 0);
  ExpectOwner(accepted, kNobody);
  close(release[1]);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  close(accepted);
  close(ready[0]);
}

TEST(PeerOwnerTableTest, ProcTableRowsMatchBothEndsAndSkipTimeWaitAndGarbage) {
  // 127.0.0.2:40000 -> 127.0.0.1:3003, as the kernel prints them.
  const PeerOwner::Endpoint client{0x7F000002u, 40000};
  const PeerOwner::Endpoint server{0x7F000001u, 3003};
  const std::string heading =
      "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  "
      "timeout inode\n";
  const std::string reversed =
      "   0: 0100007F:0BBB 0200007F:9C40 01 00000000:00000000 00:00000000 00000000     0 0 1\n";
  const std::string timeWait =
      "   1: 0200007F:9C40 0100007F:0BBB 06 00000000:00000000 03:00000000 00000000     0 0 0\n";
  const std::string otherPort =
      "   2: 0200007F:9C41 0100007F:0BBB 01 00000000:00000000 00:00000000 00000000  1001 0 2\n";
  const std::string garbage = "   3: zz 0100007F:0BBB 01\n   4: 0200007F:9C40\n";
  const std::string negative =
      "   5: 0200007F:9C40 0100007F:0BBB 01 00000000:00000000 00:00000000 00000000    -1 0 3\n";
  const std::string owned =
      "   6: 0200007F:9C40 0100007F:0BBB 01 00000000:00000000 00:00000000 00000000  1000 0 4\n";
  uid_t uid = 77;
  EXPECT_FALSE(PeerOwner::FromProcTable(
      heading + reversed + timeWait + otherPort + garbage + negative, client, server, uid));
  EXPECT_EQ(uid, 77u);
  EXPECT_TRUE(PeerOwner::FromProcTable(heading + timeWait + garbage + owned, client, server, uid));
  EXPECT_EQ(uid, 1000u);
  EXPECT_FALSE(PeerOwner::FromProcTable(owned, client, server, uid)) << "first line is a heading";
}

}  // namespace
