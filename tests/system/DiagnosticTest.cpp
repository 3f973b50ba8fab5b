#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <utility>

#include "CapturingLogDevice.h"
#include "CnxDiagnostics.h"
#include "Diagnostic.h"
#include "LogServer.h"
#include "TlConfigurationGlobal.h"

namespace {

// A switch of its own and a text chosen by the test.
struct Probe : Diagnostic {
  void v_getResult(std::ostringstream& out) const override { out << text; }
  const char* v_getConfigIdentifier() const override { return "DIAG.TEST.PROBE"; }
  const char* text = "";
};

// The event's switch, whether it is on, and its text.
std::string Row(const Diagnostic& event) {
  std::ostringstream out;
  event.v_getResult(out);
  return event.configIdentifier() + (event.turnedOn() ? " on: " : " off: ") + out.str();
}

}  // namespace

TEST(DiagnosticTest, EveryConnectionEventWritesItsTextUnderASwitchOfTheCnxAlias) {
  // A switch set before the alias keeps its own value.
  TlConfigurationGlobal::Instance()->AtGlobalPut("GLOBAL.DIAG.CNX.SEND", "off");
  TlConfigurationGlobal::Instance()->AtGlobalPut("GLOBAL.DIAG.CNX", "yes");
  const std::pair<std::string, const char*> cases[] = {
      {Row(Diag_3002Recv(5, 7, "ab\ncdNOT-RECEIVED", 1024)),
       "DIAG.CNX.RECV on: 5 <- recv(7, 'ab\ncd', 1024 )"},
      {Row(Diag_3002Recv(-1, 7, "unused", 16)), "DIAG.CNX.RECV on: -1 <- recv(7, '', 16 )"},
      {Row(Diag_3002RecvSockErr()),
       "DIAG.CNX.RECV.SOCKERR on: [Cnx::ReadPacket] INFO : Reading nothing on socket"},
      {Row(Diag_3002RecvSockZero()),
       "DIAG.CNX.RECV.SOCKZERO on: [Cnx::ReadPacket] INFO : recv failed, socket is closed"},
      {Row(Diag_3002SelectTimeout(60)),
       "DIAG.CNX.SELECT.TIMEOUT on: [Cnx::ReadPacket] ERROR : select, Timeout 60 sec"},
      {Row(Diag_3002SelectFailed()),
       "DIAG.CNX.SELECT.FAILURE on: [Cnx::ReadPacket] ERROR : select failed on socket."},
      {Row(Diag_3002RecvOK()), "DIAG.CNX.RECV.RECVOK on: Receive is OK."},
      {Row(Diag_3002Send("h", 1, 3, 3, "abc")), "DIAG.CNX.SEND off: h:1  3 <- send('abc', 3, 0 )"},
      {Row(Diag_3002SendRetry("10.0.0.1", 3003, -1, 10, "0123456789")),
       "DIAG.CNX.SEND.RETRY on: 10.0.0.1:3003   **INCOMPLETE** -1 <- send('0123456789', 10, 0 )"},
      {Row(Diag_3002SendMustRetry("h", 1)),
       "DIAG.CNX.SEND.MUSTRETRY on: h:1  EWOULDBLOCK <- send( ) ... retrying"},
      {Row(Diag_3002SocketClose(0, 9)), "DIAG.CNX.SOCKCLOSE on: 0 <- close(9 )"},
      {Row(Diag_3002Connect(-1, 9, "127.0.0.1", 3003)),
       "DIAG.CNX.CONNECT on: -1 <- connect(9, 127.0.0.1:3003 )"},
      {Row(Diag_3002Establish("peer", 4000, 0, 9, "127.0.0.1", 3003)),
       "DIAG.CNX.ESTABLISH on: peer:4000  0 <- connect(9, 127.0.0.1:3003 )"},
      {Row(Diag_3002ObjectAuthenticated()),
       "DIAG.CNX.OBJECTAUTH on: [Cnx::InitiateAuthentification] INFO : The remote object is "
       "identified and trusted."},
      {Row(Diag_3002IDRequestProcessed()),
       "DIAG.CNX.IDREQUEST.PROCESSED on: [Cnx::CheckAuthentification] INFO : identification "
       "request processed ..."}};
  for (const auto& [row, expected] : cases) {
    EXPECT_EQ(expected, row);
  }
}

TEST(DiagnosticTest, LogWritesOneInfoRecordWhileTheSwitchIsOnAndTheTextIsNotEmpty) {
  TlConfigurationGlobal::DeleteInstance();
  auto log = CapturingLogDevice::Install(LogServer::Instance());
  Probe probe, empty;
  probe.text = "probe text";
  probe.log();
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
  LogServer::DeleteInstance();
}
