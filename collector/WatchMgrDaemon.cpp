#include "WatchMgrDaemon.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <set>
#include <string>

#include "BError.h"
#include "BuildVersion.h"
#include "ClientContext.h"
#include "CriticalSection.h"
#include "ListenPort.h"
#include "LogServer.h"
#include "LogStream.h"
#include "Sleep.h"
#include "String.h"
#include "TaskMutex.h"
#include "Timestamp.h"
#include "TlVigildConfiguration.h"
#include "WatchASCIIOrder.h"

namespace {

// The sockets of the running client routines. Both live on the heap and are
// never destroyed: a client routine that outlives main must still find them
// while the process exits.
TaskMutex& ClientsMutex() {
  static TaskMutex* mutex = new TaskMutex();
  return *mutex;
}
// A duplicate of each served socket, owned by this set: the connection
// closes its own descriptor when the peer leaves, and that number may be
// reused at once, but a duplicate stays open (and names the same socket)
// until the routine hands it back. A shutdown through it wakes the routine.
std::set<int>& Clients() {
  static std::set<int>* clients = new std::set<int>();  // guarded by ClientsMutex()
  return *clients;
}

void ReportDebug(LogSeverityCode severity, const LogStream& text) {
  LogServer::Report(severity, nullptr, text.getText().chars());
}

const char kConnection[] = "[WatchMgrProcessConnection]";

// Serves one connection until it ends. REQUIRES: cnx established.
void ServeConnection(Cnx& cnx, WatchASCIIOrder& order) {
  // One line object for the connection's life: an assignment reuses its
  // storage, so a line costs no allocation once the longest has been seen.
  String line;
  for (;;) {
    std::unique_ptr<char[]> buffer(new char[WatchMgrDaemon::kLineBufferSize]);
    while (cnx.ReadLine(buffer.get(), WatchMgrDaemon::kLineBufferSize,
                        WatchMgrDaemon::kReadTimeoutSeconds) == 1) {
      line = buffer.get();
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
          text << kConnection << " INFO : Creating order ..";
          ReportDebug(Debug2, text);
        }
        order.ExecuteOrder(cnx);
        order.Reset();
      }
    }
    buffer.reset();
    if (cnx.Valid() != 1) {
      return;
    }
    Timestamp now;
    now.SetNow();
    if (now - cnx.LastActivity() > WatchMgrDaemon::kMuteLimitSeconds) {
      LogStream text;
      text << kConnection << " WARNING : Socket is mute for long time (more than "
           << WatchMgrDaemon::kMuteLimitSeconds << " sec), connection will be closed";
      ReportDebug(Debug1, text);
      return;
    }
  }
}

// The end of a client routine, on every path. The connection may have closed
// its socket already (end of file, read error) and set its number to -1, so
// the handle recorded at the start is the one that leaves the served set.
void EndConnection(Cnx& cnx, int tracked, WatchASCIIOrder& order, ListenPort* owner, long uid) {
  order.Reset();
  WatchMgrDaemon::UntrackClient(tracked);
  cnx.Disconnect();
  if (owner != nullptr) {
    owner->ClientEnded(uid);
  }
}

}  // namespace

int WatchMgrDaemon::TrackClient(int socket) {
  if (socket < 0) {
    return -1;
  }
  const int handle = fcntl(socket, F_DUPFD_CLOEXEC, 0);
  if (handle < 0) {
    return -1;
  }
  CriticalSection lock(&ClientsMutex());
  Clients().insert(handle);
  return handle;
}

void WatchMgrDaemon::UntrackClient(int handle) {
  if (handle < 0) {
    return;
  }
  CriticalSection lock(&ClientsMutex());
  if (Clients().erase(handle) == 1) {
    close(handle);
  }
}

int WatchMgrDaemon::DisconnectClients(ListenPort* port, unsigned waitMs) {
  {
    CriticalSection lock(&ClientsMutex());
    for (int handle : Clients()) {
      // Wakes the routine's wait; the routine itself closes its descriptor.
      shutdown(handle, SHUT_RDWR);
    }
  }
  const unsigned kStepMs = 50;
  for (unsigned waited = 0; port != nullptr && port->clientCount.load() > 0; waited += kStepMs) {
    if (waited >= waitMs) {
      return 0;
    }
    Sleep(kStepMs);
  }
  return 1;
}

int showVersion() { return displayVersionString(); }

int showUsage() {
  TlVigildConfiguration::showUsage();
  return 1;
}

int InitializeListenner(ListenPort* port, int portNumber) {
  try {
    if (port->Initialize(portNumber, WatchMgrProcessConnection) == 0) {
      return 0;
    }
    try {
      port->StartThread();
    } catch (BError& error) {
      error.AddErrorLine(1, "InitializeListenner: StartThread");
      throw BError(error);
    }
    for (int check = 0; check < WatchMgrDaemon::kListenerChecks; ++check) {
      if (port->state.load() == ListenPort::kRunning) {
        break;
      }
      Sleep(WatchMgrDaemon::kListenerCheckDelayMs);
    }
    return port->state.load() == ListenPort::kRunning ? 1 : 0;
  } catch (BError& error) {
    error.AddErrorLine(1, "InitializeListenner");
    throw BError(error);
  }
}

void WatchMgrProcessConnection(void* argument) {
  ClientContext* context = static_cast<ClientContext*>(argument);
  Cnx cnx = context->connection;
  ListenPort* owner = context->owner;
  const long uid = context->uid;
  delete context;
  const int tracked = WatchMgrDaemon::TrackClient(cnx.Socket());
  WatchASCIIOrder order;
  try {
    // The listener has admitted the connection's user before it took a
    // slot; every order on it acts as that user.
    order.SetClientUid(uid);
    ServeConnection(cnx, order);
  } catch (BError& error) {
    // A client thread is a top level: an error passed further up would end
    // the whole daemon, so it is logged here and only this client ends.
    EndConnection(cnx, tracked, order, owner, uid);
    error.AddErrorLine(1, "WatchMgrProcessConnection");
    String text;
    error.GetMsg(text);
    LogServer::Report(Warning, "DL30102",
                      std::string("[WatchMgrProcessConnection] ERROR : ") + static_cast<const char*>(text),
                      "GENERIC", true);
    return;
  }
  EndConnection(cnx, tracked, order, owner, uid);
}
