#include "WatchMgrDaemon.h"

#include "BError.h"
#include "BuildVersion.h"
#include "ListenPort.h"
#include "OrderSession.h"
#include "Sleep.h"
#include "TlVigildConfiguration.h"

int showVersion() { return displayVersionString(); }

int showUsage() {
  TlVigildConfiguration::showUsage();
  return 1;
}

int InitializeListenner(ListenPort* port, int portNumber) {
  try {
    if (port->Initialize(portNumber, OrderSession::Make) == 0) {
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
