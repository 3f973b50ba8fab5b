#include <sys/ioctl.h>

#include "CapturingLogDevice.h"
#include "Cnx.h"
#include "CnxDiagnostics.h"
#include "LogRepeater.h"
#include "LogServer.h"
#include "StderrCapture.h"  // CountOpenDescriptors
#include "TestCommon.h"
#include "TestSockets.h"
#include "TlConfigurationGlobal.h"

namespace {

class CnxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log = CapturingLogDevice::Install(LogServer::Instance());
    descriptors = CountOpenDescriptors();
    Cnx::SetHandshakeWait(1);
    signal(SIGPIPE, SIG_DFL);  // so that a send or probe raising it ends the binary
  }
  void TearDown() override {
    client.Disconnect();
    peer.Disconnect();
    EXPECT_EQ(descriptors, CountOpenDescriptors());
    Cnx::SetHandshakeWait(10);
    LogServer::DeleteInstance();
    TlConfigurationGlobal::DeleteInstance();
  }

  // client: connected to a loopback listener; peer: its accepted end. The peer's receive
  // buffer and the client's send buffer take the size given.
  void Connect(int buffer = 1 << 20) {
    const int listening = ListenOnLoopback(&port, 1);
    setsockopt(listening, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    EXPECT_EQ(1, client.Establish("127.0.0.1", port, false));
    peer.Establish(accept(listening, nullptr, nullptr), "127.0.0.1", 1);
    close(listening);
    setsockopt(client.Socket(), SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
  }
  // The peer sends text, then the client's kernel holds count bytes unread.
  void Deliver(const std::string& text, int count) {
    peer.SendPacket(text.c_str(), 0, 0, true);
    int queued = -1;
    EXPECT_TRUE(WaitUntil(
        [&] { return ioctl(client.Socket(), FIONREAD, &queued) == 0 && queued == count; }, 2000, 5))
        << queued << " bytes queued, not " << count;
  }
  std::string Where() const { return "127.0.0.1:" + std::to_string(port); }

  std::shared_ptr<CapturingLogDevice::Log> log;
  int descriptors = 0;
  int port = 0;
  Cnx client, peer;
};

TEST_F(CnxTest, ReadsCleanLinesAndBufferedPacketsKeepBytesOnTimeOutAndEndOnPeerClose) {
  Connect();
  const std::tuple<const char*, int, std::vector<std::string>> cases[] = {
      {"a\rb\r\rc\n\n", 64, {"abc", ""}},
      {"abcdefghij\n", 5, {"abcd", "efgh", "ij"}},
      {"wxyz\n", 5, {"wxyz", ""}},          // exactly size - 1: the line feed comes next
      {"ab\r\rcd\n", 3, {"ab", "cd", ""}},  // carriage returns take no room
  };
  char buffer[256];
  for (const auto& [sent, size, lines] : cases) {
    SCOPED_TRACE(sent);
    peer.SendPacket(sent, 0, 0, true);
    for (const std::string& line : lines) {
      memset(buffer, 'Z', sizeof buffer);
      ASSERT_EQ(1, client.ReadLine(buffer, size, 1));
      EXPECT_EQ(line, buffer);
    }
  }
  // A line that two receives bring, and bytes after a line feed that a
  // packet read still finds in order.
  Deliver("hel", 3);
  ASSERT_EQ(1, client.ReadPacket(buffer, 1, 1));
  Deliver("lo\r\nrest", 8);
  ASSERT_EQ(1, client.ReadLine(buffer, sizeof buffer, 1));
  EXPECT_STREQ("ello", buffer);
  ASSERT_EQ(4, client.ReadPacket(buffer, 4, 1));
  EXPECT_EQ("rest", std::string(buffer, 4));

  peer.SendPacket("abc", 0, 0, true);
  EXPECT_EQ(0, client.ReadLine(buffer, sizeof buffer, 1));
  EXPECT_STREQ("abc", buffer);
  EXPECT_EQ(1, client.Valid());

  const std::string first(31, 'a'), second = std::string(70, 'c') + std::string(130, 'e');
  Deliver(first, 31);
  ASSERT_EQ(1, client.ReadPacket(buffer, 1, 1));  // 30 bytes stay buffered
  Deliver(second, 200);
  ASSERT_EQ(100, client.ReadPacket(buffer, 100, 1));
  EXPECT_EQ(first.substr(1) + second.substr(0, 70), std::string(buffer, 100));
  Deliver("", 0);  // the other 130 bytes left the kernel for the receive buffer
  ASSERT_EQ(130, client.ReadPacket(buffer, 130, 1));
  EXPECT_EQ(second.substr(70), std::string(buffer, 130));

  EXPECT_EQ(1, peer.Disconnect());
  EXPECT_EQ(0, client.ReadLine(buffer, sizeof buffer, 1));
  EXPECT_EQ(0, client.Valid());
}

TEST_F(CnxTest, SendPacketCutsLongDataAndNeverRaisesSigpipe) {
  Connect();
  EXPECT_EQ(Cnx::kMaxSend, client.SendPacket(std::string(40000, 'x').c_str(), 0, 0, false));
  std::string received(Cnx::kMaxSend + 1, '\0');
  EXPECT_EQ(Cnx::kMaxSend, peer.ReadPacket(&received[0], Cnx::kMaxSend, 1));
  EXPECT_EQ(0, peer.ReadPacketUnbufferred(&received[0], Cnx::kMaxSend, 0));
  EXPECT_EQ(std::vector<std::string>{"[Cnx::SendPacket] ERROR : socket to  " + Where() +
                                     ", output buffer is greater than 31744 bytes, truncating ..."},
            log->Messages());
  peer.Disconnect();
  EXPECT_TRUE(WaitUntil(
      [&] {
        client.SendPacket("ping", 0, 0, true);
        return client.Valid() == 0;
      },
      1000, 5));
}

// Small buffers, a peer that does not read and a non-blocking client force a partial send.
TEST_F(CnxTest, SendTraceAppearsOnlyUnderItsSwitchAndMarksPartialSends) {
  Connect(1024);
  fcntl(client.Socket(), F_SETFL, fcntl(client.Socket(), F_GETFL) | O_NONBLOCK);
  TlConfigurationGlobal::Instance()->AtGlobalPut("DIAG.CNX.RECV", "1");
  ASSERT_EQ(2, client.SendPacket("hi", 0, 0, true));
  EXPECT_EQ(0u, log->Count());
  TlConfigurationGlobal::Instance()->AtGlobalPut("DIAG.CNX.SEND", "1");
  ASSERT_EQ(2, client.SendPacket("hi", 0, 0, true));
  EXPECT_EQ(std::vector<std::string>{Where() + "  2 <- send('hi', 2, 0 )"}, log->Messages());
  log->Clear();
  const int sent = client.SendPacket(std::string(Cnx::kMaxSend, 'y').c_str(), 0, 0, true);
  ASSERT_GT(sent, 0);
  ASSERT_LT(sent, Cnx::kMaxSend);
  const std::string trace = log->Records().at(0).message;
  EXPECT_EQ(0u, trace.find(Where() + "   **INCOMPLETE** " + std::to_string(sent) + " <- send('yyy"))
      << trace.substr(0, 80);
}

TEST_F(CnxTest, HandshakeCompletesBetweenTwoEndsAndRefusesWrongReplies) {
  Connect();
  int initiated = -1;
  std::thread initiator([&] { initiated = client.InitiateAuthentification(1); });
  EXPECT_EQ(1, peer.CheckAuthentification(1));
  initiator.join();
  EXPECT_EQ(1, initiated);
  // Mode 0 trusts without an exchange; other modes fail.
  EXPECT_EQ(2, client.InitiateAuthentification(0) + peer.CheckAuthentification(0));
  EXPECT_EQ(0, client.InitiateAuthentification(2) + peer.CheckAuthentification(-1));
  const std::string failed = "[Cnx::InitiateAuthentification] ERROR : ";
  const std::pair<const char*, std::vector<std::string>> cases[] = {
      // The reply is sent ahead: the initiator finds it waiting.
      {"#\r\n", {}},
      {"####", {failed + "Bad length, the remote object doesn't identify properly."}},
      {"", {failed + "Timeout, the remote object doesn't respond to identification request."}},
  };
  for (const auto& [reply, errors] : cases) {
    SCOPED_TRACE(reply);
    log->Clear();
    peer.SendPacket(reply, 0, 0, true);
    EXPECT_EQ(errors.empty() ? 1 : 0, client.InitiateAuthentification(1));
    EXPECT_EQ(errors, log->Messages());
  }
}

struct Probe : Diagnostic {
  void v_getResult(std::ostringstream& out) const override { out << text; }
  const char* v_getConfigIdentifier() const override { return "DIAG.TEST.PROBE"; }
  const char* text = "";
};

std::string Row(const Diagnostic& event) {
  std::ostringstream out;
  event.v_getResult(out);
  return event.configIdentifier() + (event.turnedOn() ? " on: " : " off: ") + out.str() + "\n";
}

class DiagnosticTest : public CnxTest {};

TEST_F(DiagnosticTest, ConnectionEventsWriteTheirTextUnderCnxSwitchesAndLogItOnlyWhileOn) {
  // A switch set before the alias keeps its own value.
  TlConfigurationGlobal::Instance()->AtGlobalPut("GLOBAL.DIAG.CNX.CONNECT", "off");
  TlConfigurationGlobal::Instance()->AtGlobalPut("GLOBAL.DIAG.CNX", "yes");
  EXPECT_EQ(
      "DIAG.CNX.RECV on: 5 <- recv(7, 'ab\ncd', 1024 )\n"
      "DIAG.CNX.RECV on: -1 <- recv(7, '', 16 )\n"
      "DIAG.CNX.RECV.SOCKERR on: [Cnx::ReadPacket] INFO : Reading nothing on socket\n"
      "DIAG.CNX.RECV.SOCKZERO on: [Cnx::ReadPacket] INFO : recv failed, socket is closed\n"
      "DIAG.CNX.SELECT.TIMEOUT on: [Cnx::ReadPacket] ERROR : select, Timeout 60 sec\n"
      "DIAG.CNX.SELECT.FAILURE on: [Cnx::ReadPacket] ERROR : select failed on socket.\n"
      "DIAG.CNX.RECV.RECVOK on: Receive is OK.\n"
      "DIAG.CNX.SEND.RETRY on: 10.0.0.1:3003   **INCOMPLETE** -1 <- send('0123456789', 10, 0 )\n"
      "DIAG.CNX.SEND.MUSTRETRY on: h:1  EWOULDBLOCK <- send( ) ... retrying\n"
      "DIAG.CNX.SOCKCLOSE on: 0 <- close(9 )\n"
      "DIAG.CNX.CONNECT off: -1 <- connect(9, 127.0.0.1:3003 )\n"
      "DIAG.CNX.ESTABLISH on: peer:4000  0 <- connect(9, 127.0.0.1:3003 )\n"
      "DIAG.CNX.OBJECTAUTH on: [Cnx::InitiateAuthentification] INFO : The remote object is "
      "identified and trusted.\n"
      "DIAG.CNX.IDREQUEST.PROCESSED on: [Cnx::CheckAuthentification] INFO : identification "
      "request processed ...\n",
      Row(Diag_3002Recv(5, 7, "ab\ncdNOT-RECEIVED", 1024)) +
          Row(Diag_3002Recv(-1, 7, "unused", 16)) + Row(Diag_3002RecvSockErr()) +
          Row(Diag_3002RecvSockZero()) + Row(Diag_3002SelectTimeout(60)) +
          Row(Diag_3002SelectFailed()) + Row(Diag_3002RecvOK()) +
          Row(Diag_3002SendRetry("10.0.0.1", 3003, -1, 10, "0123456789")) +
          Row(Diag_3002SendMustRetry("h", 1)) + Row(Diag_3002SocketClose(0, 9)) +
          Row(Diag_3002Connect(-1, 9, "127.0.0.1", 3003)) +
          Row(Diag_3002Establish("peer", 4000, 0, 9, "127.0.0.1", 3003)) +
          Row(Diag_3002ObjectAuthenticated()) + Row(Diag_3002IDRequestProcessed()));
  // An event logs one info record while its switch is on and its text is not empty.
  TlConfigurationGlobal::DeleteInstance();
  Probe probe, empty;
  probe.text = "probe text";
  TlConfigurationGlobal::Instance()->AtGlobalPut("GLOBAL.DIAG.TEST.PROBE", "1");
  probe.log();
  empty.log();
  Diagnostic::logDiag(Diagnostic::toLogMarker("A.B..C."), "direct");
  LogServer::Instance()->setAcceptSeverity(Info, false);
  probe.log();
  std::string all;
  for (const auto& record : log->Records()) {
    all += record.code + ": " + record.message + (record.severity == Info ? " (info)|" : "|");
  }
  EXPECT_EQ("DIAG_TEST_PROBE: probe text (info)|A_B__C_: direct (info)|", all);
}

// Sends "<context>: <text>" and logs a record of its own, which must neither loop nor hang.
bool Forward(Handle<LogMessage> record, Cnx connection, String context) {
  std::string line = std::string(context.chars()) + ": " + record->getText().chars() + "\n";
  LogServer::Report(Info, "DL31001", "[Forward] INFO : forwarded");
  return connection.SendPacket(line.c_str(), 0, 0, true) > 0;
}

class LogRepeaterTest : public CnxTest {};

TEST_F(LogRepeaterTest, NonNullCallbackArmsARepeaterThatForwardsEveryRecord) {
  Connect();
  Handle<LogRepeater> repeater(new LogRepeater);
  EXPECT_FALSE(repeater->setMessageCallback(nullptr, client, "ctx"));
  EXPECT_FALSE(repeater->ProcessMessage(Handle<LogMessage>(new LogMessage(Info))));
  ASSERT_TRUE(repeater->setMessageCallback(Forward, client, "ctx"));
  ASSERT_TRUE(LogServer::Instance()->registerLogRepeater(repeater));
  LogServer::Report(Warning, "DL30102", "[Test] ERROR : direct");
  LogServer::Instance()->StartQueueing();
  LogServer::Report(Warning, "DL30102", "[Test] ERROR : queued");
  LogServer::Instance()->Flush();
  char line[128];
  for (const char* expected : {"ctx: [Test] ERROR : direct", "ctx: [Test] ERROR : queued"}) {
    EXPECT_EQ(1, peer.ReadLine(line, sizeof line, 1));
    EXPECT_STREQ(expected, line);
  }
  EXPECT_EQ(0, peer.ReadPacketUnbufferred(line, sizeof line, 0));  // its own records stay home
  EXPECT_EQ(4u, log->Count());  // two records and two of the callback's
}

}  // namespace
