#include "OrderSession.h"

#include <string>

#include "BError.h"
#include "Cnx.h"
#include "LogServer.h"
#include "LogStream.h"

namespace {

void ReportDebug(LogSeverityCode severity, const LogStream& text) {
  LogServer::Report(severity, nullptr, text.getText().chars());
}

}  // namespace

OrderSession::OrderSession(long uid) {
  // The listener has admitted the connection's user before it took a slot;
  // every order on it acts as that user.
  order.SetClientUid(uid);
}

OrderSession::~OrderSession() { order.Reset(); }

std::unique_ptr<ClientSession> OrderSession::Make(long uid) {
  return std::unique_ptr<ClientSession>(new OrderSession(uid));
}

bool OrderSession::Line(String& line) {
  try {
    LogServer* server = LogServer::Instance();
    if (server->isAcceptableSeverity(Debug1)) {
      LogStream text;
      text << "Read line : " << line;
      ReportDebug(Debug1, text);
    }
    if (order.ProcessLine(line) == 1) {
      // Built only when it will be logged: this runs for every order.
      if (server->isAcceptableSeverity(Debug2)) {
        LogStream text;
        text << "[WatchMgrProcessConnection] INFO : Creating order ..";
        ReportDebug(Debug2, text);
      }
      // The parser's executor takes a connection it does not use.
      Cnx unused;
      order.ExecuteOrder(unused);
      order.Reset();
    }
  } catch (BError& error) {
    order.Reset();
    error.AddErrorLine(1, "WatchMgrProcessConnection");
    String text;
    error.GetMsg(text);
    LogServer::Report(
        Warning, "DL30102",
        std::string("[WatchMgrProcessConnection] ERROR : ") + static_cast<const char*>(text),
        "GENERIC", true);
    return false;
  }
  return true;
}
