#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "CapturingLogDevice.h"
#include "CnxDiagnostics.h"
#include "Diagnostic.h"
#include "LogServer.h"
#include "TlConfigurationGlobal.h"

namespace {

struct Event {
  std::shared_ptr<const Diagnostic> diagnostic;
  const char* key;
  std::string text;
};

// A switch of its own and a text chosen by the test; counts how often its
// text was asked for.
class Probe : public Diagnostic {
 public:
  explicit Probe(const std::string& probeText) : text(probeText) {}
  void v_getResult(std::ostringstream& out) const override {
    calls++;
    out << text;
  }
  const char* v_getConfigIdentifier() const override { return "DIAG.TEST.PROBE"; }
  mutable int calls = 0;

 private:
  std::string text;
};

std::string TextOf(const Diagnostic& diagnostic) {
  std::ostringstream out;
  diagnostic.v_getResult(out);
  return out.str();
}

// One object of every kind of event, with its switch and its text.
class DiagnosticTest : public ::testing::Test {
 protected:
  void SetUp() override { TlConfigurationGlobal::DeleteInstance(); }
  void TearDown() override {
    TlConfigurationGlobal::DeleteInstance();
    LogServer::DeleteInstance();
  }

  template <class D, class... A>
  static std::shared_ptr<const Diagnostic> Make(A... args) {
    return std::make_shared<D>(args...);
  }

  const std::vector<Event> events = {
      {Make<Diag_3002Recv>(5, 7, "ab\ncdNOT-RECEIVED", 1024), "DIAG.CNX.RECV",
       "5 <- recv(7, 'ab\ncd', 1024 )"},
      {Make<Diag_3002Recv>(-1, 7, "unused", 16), "DIAG.CNX.RECV", "-1 <- recv(7, '', 16 )"},
      {Make<Diag_3002RecvSockErr>(), "DIAG.CNX.RECV.SOCKERR",
       "[Cnx::ReadPacket] INFO : Reading nothing on socket"},
      {Make<Diag_3002RecvSockZero>(), "DIAG.CNX.RECV.SOCKZERO",
       "[Cnx::ReadPacket] INFO : recv failed, socket is closed"},
      {Make<Diag_3002SelectTimeout>(60), "DIAG.CNX.SELECT.TIMEOUT",
       "[Cnx::ReadPacket] ERROR : select, Timeout 60 sec"},
      {Make<Diag_3002SelectFailed>(), "DIAG.CNX.SELECT.FAILURE",
       "[Cnx::ReadPacket] ERROR : select failed on socket."},
      {Make<Diag_3002RecvOK>(), "DIAG.CNX.RECV.RECVOK", "Receive is OK."},
      {Make<Diag_3002Send>("10.0.0.1", 3003, 6, 10, "0123456789"), "DIAG.CNX.SEND",
       "10.0.0.1:3003   **INCOMPLETE** 6 <- send('0123456789', 10, 0 )"},
      {Make<Diag_3002Send>("h", 1, 3, 3, "abc"), "DIAG.CNX.SEND", "h:1  3 <- send('abc', 3, 0 )"},
      {Make<Diag_3002SendRetry>("10.0.0.1", 3003, -1, 10, "0123456789"), "DIAG.CNX.SEND.RETRY",
       "10.0.0.1:3003   **INCOMPLETE** -1 <- send('0123456789', 10, 0 )"},
      {Make<Diag_3002SendMustRetry>("h", 1), "DIAG.CNX.SEND.MUSTRETRY",
       "h:1  EWOULDBLOCK <- send( ) ... retrying"},
      {Make<Diag_3002SocketClose>(0, 9), "DIAG.CNX.SOCKCLOSE", "0 <- close(9 )"},
      {Make<Diag_3002Connect>(-1, 9, "127.0.0.1", 3003), "DIAG.CNX.CONNECT",
       "-1 <- connect(9, 127.0.0.1:3003 )"},
      {Make<Diag_3002Establish>("peer", 4000, 0, 9, "127.0.0.1", 3003), "DIAG.CNX.ESTABLISH",
       "peer:4000  0 <- connect(9, 127.0.0.1:3003 )"},
      {Make<Diag_3002ObjectAuthenticated>(), "DIAG.CNX.OBJECTAUTH",
       "[Cnx::InitiateAuthentification] INFO : The remote object is identified and trusted."},
      {Make<Diag_3002IDRequestProcessed>(), "DIAG.CNX.IDREQUEST.PROCESSED",
       "[Cnx::CheckAuthentification] INFO : identification request processed ..."},
  };
  const Diagnostic& sendShort = *events[7].diagnostic;
  const Diagnostic& retry = *events[9].diagnostic;

  int CountTurnedOn() const {
    int on = 0;
    for (const Event& event : events) {
      on += event.diagnostic->turnedOn();
    }
    return on;
  }
};

}  // namespace

TEST_F(DiagnosticTest, EveryEventWritesItsTextUnderItsOwnSwitchReadAtEveryCall) {
  EXPECT_EQ(0, CountTurnedOn());
  for (const Event& event : events) {
    EXPECT_EQ(event.text, TextOf(*event.diagnostic)) << event.key;
    EXPECT_EQ(event.key, event.diagnostic->configIdentifier());
    TlConfigurationGlobal::Instance()->AtGlobalPut(event.key, "1");
    EXPECT_TRUE(event.diagnostic->turnedOn()) << event.key;
    TlConfigurationGlobal::Instance()->AtGlobalPut(event.key, "off");
    EXPECT_FALSE(event.diagnostic->turnedOn()) << event.key;
  }
  const int all = static_cast<int>(events.size());
  TlConfigurationGlobal::DeleteInstance();
  TlConfigurationGlobal::Instance()->AtGlobalPut("GLOBAL.DIAG.CNX", "yes");
  EXPECT_EQ(all, CountTurnedOn());
  TlConfigurationGlobal::DeleteInstance();
  EXPECT_EQ(0, CountTurnedOn());
  TlConfigurationGlobal::Instance()->AtGlobalPut("DIAG.ALL", "1");
  EXPECT_EQ(all, CountTurnedOn());
}

TEST_F(DiagnosticTest, LogWritesOneInfoRecordWhileTheSwitchIsOnAndTheTextIsNotEmpty) {
  auto log = CapturingLogDevice::Install(LogServer::Instance());
  Probe probe("probe text"), empty("");
  probe.log();
  EXPECT_EQ(0, probe.calls);
  TlConfigurationGlobal::Instance()->AtGlobalPut("GLOBAL.DIAG.TEST.PROBE", "1");
  TlConfigurationGlobal::Instance()->AtGlobalPut("DIAG.CNX.SEND", "1");
  probe.log();
  empty.log();
  sendShort.log();
  retry.log();
  const auto records = log->Records();
  ASSERT_EQ(2u, records.size());
  EXPECT_EQ(1, empty.calls);
  EXPECT_EQ(Info, records[0].severity);
  EXPECT_EQ("DIAG_TEST_PROBE", records[0].code);
  EXPECT_EQ("probe text", records[0].message);
  EXPECT_EQ("DIAG_CNX_SEND", records[1].code);
  EXPECT_EQ("a__b_", Diagnostic::toLogMarker("a..b."));
  EXPECT_EQ(TextOf(sendShort), records[1].message);

  LogServer::Instance()->setAcceptSeverity(Info, false);
  probe.log();
  EXPECT_EQ(2u, log->Count());
}
