#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "BError.h"
#include "CapturingLogDevice.h"
#include "Cnx.h"
#include "LogServer.h"
#include "StderrCapture.h"  // CountOpenDescriptors
#include "TlConfigurationGlobal.h"

namespace {

// A TCP listener on 127.0.0.1 with an ephemeral port.
class Loopback {
 public:
  explicit Loopback(int backlog = 4, int receiveBuffer = 0) {
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receiveBuffer > 0) {  // inherited by accepted sockets, window included
      setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    }
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<struct sockaddr*>(&address), length);
    listen(fd, backlog);
    getsockname(fd, reinterpret_cast<struct sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
  }
  ~Loopback() { close(fd); }

  // Accepts one connection (deliberately without close-on-exec) into `into`.
  void Accept(Cnx& into) const {
    struct sockaddr_in peer = {};
    socklen_t length = sizeof peer;
    const int accepted = accept(fd, reinterpret_cast<struct sockaddr*>(&peer), &length);
    ASSERT_GE(accepted, 0);
    into.Establish(accepted, "127.0.0.1", ntohs(peer.sin_port));
  }

  int fd;
  int port = 0;
};

class CnxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log = CapturingLogDevice::Install(LogServer::Instance());
    descriptors = CountOpenDescriptors();
    listener.reset(new Loopback);
    Cnx::SetHandshakeWait(1);
  }
  void TearDown() override {
    client.Disconnect();
    peer.Disconnect();
    listener.reset();
    EXPECT_EQ(descriptors, CountOpenDescriptors());
    Cnx::SetHandshakeWait(10);
    LogServer::DeleteInstance();
    TlConfigurationGlobal::DeleteInstance();
  }

  // client: an outgoing connection to the listener; peer: its accepted end.
  void Connect() {
    ASSERT_EQ(1, client.Establish("127.0.0.1", listener->port, false));
    listener->Accept(peer);
  }
  void PeerSends(const std::string& bytes) {
    ASSERT_EQ(static_cast<ssize_t>(bytes.size()),
              send(peer.Socket(), bytes.data(), bytes.size(), MSG_NOSIGNAL));
  }
  // Waits until the client's kernel queue holds `count` bytes.
  void AwaitQueued(int count) {
    int queued = -1;
    for (int i = 0; i < 200 && queued != count; ++i) {
      ioctl(client.Socket(), FIONREAD, &queued);
      std::this_thread::sleep_for(std::chrono::milliseconds(queued == count ? 0 : 5));
    }
    ASSERT_EQ(count, queued);
  }
  std::vector<std::string> Messages(const std::string& code) const {
    std::vector<std::string> found;
    for (const auto& record : log->Records()) {
      if (record.code == code) {
        found.push_back(record.message);
      }
    }
    return found;
  }
  static void SwitchOn(const char* key) {
    TlConfigurationGlobal::Instance()->AtGlobalPut(key, "1");
  }

  std::shared_ptr<CapturingLogDevice::Log> log;
  int descriptors = 0;
  std::unique_ptr<Loopback> listener;
  Cnx client, peer;
};

bool CloseOnExec(int fd) { return (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0; }
std::string Where(int port) { return "127.0.0.1:" + std::to_string(port); }

TEST_F(CnxTest, ReadLineDropsCarriageReturnsAndCutsLongLinesIntoPieces) {
  Connect();
  struct Case {
    const char* sent;
    int size;
    std::vector<std::string> lines;
  } cases[] = {
      {"watch\r\n", 64, {"watch"}},
      {"a\rb\r\rc\n\n", 64, {"abc", ""}},
      {"abcdefghij\n", 5, {"abcd", "efgh", "ij"}},
      {"wxyz\n", 5, {"wxyz", ""}},  // exactly size - 1: the line feed comes next
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sent);
    PeerSends(c.sent);
    for (const std::string& line : c.lines) {
      char buffer[64];
      memset(buffer, 'Z', sizeof buffer);
      ASSERT_EQ(1, client.ReadLine(buffer, c.size, 1));
      EXPECT_EQ(line, buffer);
    }
  }
  String line, ignored;
  PeerSends("fast\r\n");
  EXPECT_EQ(1, client.FastReadLine(line, ignored, 16, 1));
  EXPECT_STREQ("fast", line.chars());
}

TEST_F(CnxTest, TimeOutKeepsTheBytesReadAndTheConnectionOpen) {
  Connect();
  PeerSends("abc");
  char buffer[64];
  EXPECT_EQ(0, client.ReadLine(buffer, sizeof buffer, 1));
  EXPECT_STREQ("abc", buffer);
  EXPECT_EQ(1, client.Valid());
  PeerSends("def\n");
  EXPECT_EQ(1, client.ReadLine(buffer, sizeof buffer, 1));
  EXPECT_STREQ("def", buffer);
  EXPECT_EQ(7u, client.IfInOctets());
}

TEST_F(CnxTest, PeerCloseEndsReadingAndValidity) {
  Connect();
  EXPECT_EQ(1, client.Valid());
  EXPECT_EQ(1, peer.Disconnect());
  EXPECT_EQ(0, peer.Disconnect());
  char buffer[16];
  EXPECT_EQ(0, client.ReadLine(buffer, sizeof buffer, 1));
  EXPECT_EQ(-1, client.Socket());
  EXPECT_EQ(0, client.Valid());
  EXPECT_EQ(0, client.SendPacket("late", 0, 0, true));
  Cnx never;
  EXPECT_THROW(never.ReadLine(buffer, sizeof buffer, 1), BError);
  EXPECT_EQ(0, never.Valid() + never.Disconnect() + never.SendPacket("x", 0, 0, true));
}

TEST_F(CnxTest, ReadPacketServesBufferedBytesFirstAndKeepsTheRest) {
  Connect();
  const std::string first = std::string(31, 'a') + "b",
                    second = std::string(70, 'c') + "d" + std::string(129, 'e');
  char buffer[256];
  PeerSends(first.substr(0, 31));
  AwaitQueued(31);
  ASSERT_EQ(1, client.ReadPacket(buffer, 1, 1));  // 30 bytes stay buffered
  PeerSends(second);
  AwaitQueued(200);
  ASSERT_EQ(100, client.ReadPacket(buffer, 100, 1));
  EXPECT_EQ(first.substr(1, 30) + second.substr(0, 70), std::string(buffer, 100));
  AwaitQueued(0);  // the other 130 bytes left the kernel for the receive buffer
  ASSERT_EQ(130, client.ReadPacket(buffer, 130, 1));
  EXPECT_EQ(second.substr(70), std::string(buffer, 130));
  EXPECT_EQ(0, client.ReadPacketUnbufferred(buffer, sizeof buffer, 0));
}

TEST_F(CnxTest, SendPacketCutsLongDataAndLogsIt) {
  Connect();
  const std::string big(40000, 'x');
  EXPECT_EQ(Cnx::kMaxSend, client.SendPacket(big.c_str(), 0, 0, false));
  std::unique_ptr<char[]> received(new char[Cnx::kMaxSend + 1]);
  EXPECT_EQ(Cnx::kMaxSend, peer.ReadPacket(received.get(), Cnx::kMaxSend, 1));
  EXPECT_EQ(0, peer.ReadPacketUnbufferred(received.get(), Cnx::kMaxSend, 0));
  EXPECT_EQ(static_cast<unsigned long>(Cnx::kMaxSend), client.IfOutOctets());
  const auto records = log->Records();
  ASSERT_EQ(1u, records.size());
  EXPECT_EQ(Warning, records[0].severity);
  EXPECT_EQ("DL30102", records[0].code);
  EXPECT_EQ("GENERIC", records[0].tag);
  EXPECT_EQ("[Cnx::SendPacket] ERROR : socket to  " + Where(listener->port) +
                ", output buffer is greater than 31744 bytes, truncating ...",
            records[0].message);
}

TEST_F(CnxTest, TracesAppearOnlyUnderTheirSwitch) {
  const std::set<std::string> everyTrace = {"DIAG_CNX_CONNECT", "DIAG_CNX_RECV_RECVOK",
                                            "DIAG_CNX_RECV", "DIAG_CNX_SEND", "DIAG_CNX_SOCKCLOSE"};
  struct Case {
    const char* key;  // null: no switch
    std::set<std::string> codes;
  } cases[] = {{nullptr, {}},
               {"DIAG.CNX.RECV", {"DIAG_CNX_RECV"}},
               {"DIAG.CNX", everyTrace},
               {"DIAG.ALL", everyTrace}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key == nullptr ? "none" : c.key);
    TlConfigurationGlobal::DeleteInstance();
    if (c.key != nullptr) {
      SwitchOn(c.key);
    }
    log->Clear();
    Connect();
    const int socket = client.Socket();
    PeerSends("ab\n");
    char buffer[16];
    ASSERT_EQ(1, client.ReadLine(buffer, sizeof buffer, 1));
    ASSERT_EQ(2, client.SendPacket("hi", 0, 0, true));
    client.Disconnect();
    peer.Disconnect();  // adopted on this side: traced as well
    std::set<std::string> codes;
    for (const auto& record : log->Records()) {
      codes.insert(record.code);
    }
    EXPECT_EQ(c.codes, codes);
    if (!c.codes.empty()) {
      // The record's split takes the line feed out of the message column.
      const auto received = Messages("DIAG_CNX_RECV");
      ASSERT_EQ(1u, received.size());
      EXPECT_EQ(0u, received[0].find("3 <- recv(" + std::to_string(socket) + ", 'ab"));
      EXPECT_EQ(received[0].size() - 9, received[0].rfind("', 8192 )"));
    }
  }
  EXPECT_EQ(std::vector<std::string>{Where(listener->port) + "  2 <- send('hi', 2, 0 )"},
            Messages("DIAG_CNX_SEND"));
  EXPECT_EQ(2u, Messages("DIAG_CNX_SOCKCLOSE").size());
}

// The sockets are blocking, so a send is only ever partial or refused when
// the descriptor was made non-blocking; the test does that, with small
// buffers and a peer that does not read, to force both.
TEST_F(CnxTest, PartialAndRefusedSendsAreTracedAndRetried) {
  listener.reset(new Loopback(4, 1024));
  Connect();
  const int small = 1024;
  setsockopt(client.Socket(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  fcntl(client.Socket(), F_SETFL, fcntl(client.Socket(), F_GETFL) | O_NONBLOCK);
  SwitchOn("DIAG.CNX.SEND");
  SwitchOn("DIAG.CNX.SEND.MUSTRETRY");
  SwitchOn("DIAG.CNX.SEND.RETRY");
  const std::string block(Cnx::kMaxSend, 'y');
  const int first = client.SendPacket(block.c_str(), 0, 1, true);
  ASSERT_GT(first, 0);
  ASSERT_LT(first, Cnx::kMaxSend);
  const std::string sent = Messages("DIAG_CNX_SEND").at(0);
  EXPECT_EQ(0u, sent.find(Where(listener->port) + "   **INCOMPLETE** " + std::to_string(first) +
                          " <- send('yyy"))
      << sent.substr(0, 80);
  int last = first;
  for (int i = 0; i < 100 && last > 0; ++i) {
    last = client.SendPacket(block.c_str(), 0, 1, true);
  }
  EXPECT_EQ(0, last);
  EXPECT_EQ(1u, Messages("DIAG_CNX_SEND_MUSTRETRY").size());
  EXPECT_EQ(1u, Messages("DIAG_CNX_SEND_RETRY").size());
  EXPECT_EQ(
      std::vector<std::string>{"[Cnx::SendPacket] ERROR: Socket to  " + Where(listener->port) +
                               ", full distant buffer , aborting packet ..."},
      Messages("DL30102"));
}

TEST_F(CnxTest, SendingToAClosedPeerDoesNotRaiseSigpipe) {
  struct sigaction previous, fallback = {};
  fallback.sa_handler = SIG_DFL;
  sigaction(SIGPIPE, &fallback, &previous);
  sigset_t pipe, mask;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_UNBLOCK, &pipe, &mask);
  Connect();
  peer.Disconnect();
  int valid = 1;
  for (int i = 0; i < 200 && valid; ++i) {
    client.SendPacket("ping", 0, 0, true);
    valid = client.Valid();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(0, valid);
  EXPECT_EQ(0, client.SendPacket("ping", 0, 0, true));
  pthread_sigmask(SIG_SETMASK, &mask, nullptr);
  sigaction(SIGPIPE, &previous, nullptr);
}

TEST_F(CnxTest, EstablishFormsNameTheirPeerCloseOnExecAndReportFailures) {
  Connect();
  std::string text = "x";
  EXPECT_EQ("xto  " + Where(listener->port), client.DebugOn(text));
  EXPECT_EQ("to  " + Where(listener->port), client.sockName(text));
  EXPECT_EQ(0u, std::string(peer.sockName(text)).find("from  127.0.0.1:"));
  Cnx timed;
  ASSERT_EQ(1, timed.Establish("127.0.0.1", listener->port, 1, 0));
  for (int fd : {client.Socket(), peer.Socket(), timed.Socket()}) {
    EXPECT_TRUE(CloseOnExec(fd));
  }
  EXPECT_EQ(1, timed.Disconnect());

  const int closed = Loopback().port;  // nobody listens there any more
  Loopback full(0);                    // its one queued connection fills it: later SYNs are dropped
  Cnx queued, refused;
  ASSERT_EQ(1, queued.Establish("127.0.0.1", full.port, 1, 0));
  log->Clear();
  EXPECT_EQ(0, refused.Establish("127.0.0.1", closed, true));
  EXPECT_EQ(0u, log->Count());
  EXPECT_EQ(0, refused.Establish("127.0.0.1", closed, false));
  EXPECT_EQ(0, refused.Establish("127.0.0.1", closed, 1, 0));
  EXPECT_EQ(0, refused.Establish("127.0.0.1", full.port, 1, 0));
  const std::string failed = "[Cnx::Establish] ERROR : Connect to ";
  EXPECT_EQ((std::vector<std::string>{
                failed + Where(closed) + " failed.", failed + Where(closed) + " failed: ",
                failed + Where(full.port) + " failed: select( ) timed out, timeout=1s"}),
            Messages("DL30102"));
  EXPECT_EQ(-1, refused.Socket());
  queued.Disconnect();
}

TEST_F(CnxTest, HandshakeCompletesAtOnceBetweenTwoEndsAndRefusesWrongReplies) {
  Connect();
  SwitchOn("DIAG.CNX");
  int initiated = -1;
  const auto start = std::chrono::steady_clock::now();
  std::thread initiator([&] { initiated = client.InitiateAuthentification(1); });
  EXPECT_EQ(1, peer.CheckAuthentification(1));
  initiator.join();
  EXPECT_EQ(1, initiated);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
  EXPECT_EQ(
      1u, Messages("DIAG_CNX_OBJECTAUTH").size() * Messages("DIAG_CNX_IDREQUEST_PROCESSED").size());
  // Mode 0 trusts without a byte on the wire; other modes fail.
  EXPECT_EQ(2, client.InitiateAuthentification(0) + peer.CheckAuthentification(0));
  EXPECT_EQ(0, client.InitiateAuthentification(2) + peer.CheckAuthentification(-1));
  char request[8];
  EXPECT_EQ(0, peer.ReadPacketUnbufferred(request, sizeof request, 0));

  struct Case {
    const char* reply;  // sent ahead: the initiator finds it waiting
    const char* error;  // null: accepted
  } cases[] = {
      {"#\r\n", nullptr},
      {"####", "Bad length, the remote object doesn't identify properly."},
      {"x", "Bad Data, the remote object doesn't identify properly."},
      {"", "Timeout, the remote object doesn't respond to identification request."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply);
    log->Clear();
    if (*c.reply != '\0') {
      PeerSends(c.reply);
    }
    EXPECT_EQ(c.error == nullptr ? 1 : 0, client.InitiateAuthentification(1));
    EXPECT_EQ(1, peer.ReadPacketUnbufferred(request, sizeof request, 1));
    EXPECT_EQ('#', request[0]);
    const auto errors = Messages("DL30102");
    EXPECT_EQ(
        c.error == nullptr
            ? std::vector<std::string>{}
            : std::vector<std::string>{std::string("[Cnx::InitiateAuthentification] ERROR : ") +
                                       c.error},
        errors);
  }
}

}  // namespace
