#include "DaemonShutdown.h"

#include <stdio.h>
#include <unistd.h>

#include "ListenPort.h"
#include "LogServer.h"
#include "WatchedList.h"

int DaemonShutdown::Run(ListenPort*& port, WatchedList*& list, int status, unsigned drainMs,
                        ExitFunction exitNow) {
  if (port != nullptr) {
    if (port->Stop(drainMs) == 0) {
      LogServer::Instance()->Drain(kLogDrainMs);
      fflush(stdout);
      exitNow(status);
      return 0;
    }
  }
  delete port;
  port = nullptr;
  delete list;
  list = nullptr;
  pepoWatchedList = nullptr;
  return 1;
}
