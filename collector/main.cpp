// vigild: builds its configuration, starts the log server and the order
// listener, then runs the supervision cycle on the main thread until it ends.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <iostream>
#include <memory>
#include <string>

#include "ArgOpt.h"
#include "BError.h"
#include "CliParser.h"
#include "ListenPort.h"
#include "LogServer.h"
#include "OrderCounters.h"
#include "SigHandle.h"
#include "StatusWriter.h"
#include "TlConfigurationGlobal.h"
#include "TlVigildConfiguration.h"
#include "WatchMgrDaemon.h"
#include "WatchedList.h"

namespace {

// Stops the listener, wakes and waits for the client routines, then destroys
// the listener and the table. When a client routine will not end, nothing it
// uses may be destroyed, nor may process-exit destructors run under it: the
// logs are flushed and the process ends here with status 0.
void ShutDown(ListenPort*& port, WatchedList*& list) {
  if (port != nullptr) {
    port->Delete();
    if (WatchMgrDaemon::DisconnectClients(port) == 0) {
      LogServer::Instance()->Flush();
      fflush(stdout);
      _exit(0);
    }
  }
  delete port;
  port = nullptr;
  delete list;
  list = nullptr;
  pepoWatchedList = nullptr;
}

int StartDebugLevel(CliParser& parser, TlConfiguration& global) {
  int level = global.IntAtIfMissing("LOGMANAGER.DEBUGLEVEL", 1);
  std::string value;
  if (parser.optionOne("D", value)) {
    level = atoi(value.c_str());
  }
  return level;
}

}  // namespace

int main(int argc, char** argv) {
  ArgOpt arguments(argc, argv);
  for (int handled : {SIGINT, SIGTERM, SIGTSTP, SIGTTIN, SIGTTOU}) {
    SigHandle::Handle(handled, Stop, nullptr);
  }
  // A client or a console reader that goes away must never end the daemon.
  SigHandle::Ignore(SIGPIPE);
  CliParser parser(argc, argv);
  Handle<TlConfiguration> global = TlConfigurationGlobal::Instance();
  TlVigildConfiguration::Layers layers;

  if (parser.discreteFlag("v")) {
    return showVersion();
  }
  for (const char* usage : {"?", "help", "usage"}) {
    if (parser.discreteFlag(usage)) {
      return showUsage();
    }
  }
  parser.discreteFlag("trace");

  const std::string uniqueName = TlVigildConfiguration::AssembleConfiguration(parser, layers);
  if (!TlVigildConfiguration::ValidateConfiguration(*global)) {
    std::cerr << "[vigild::main] ERROR, incorrect, or incomplete configuration." << std::endl;
    return 1;
  }

  ListenPort* port = nullptr;
  WatchedList* list = nullptr;
  try {
    LogServer* logServer = LogServer::Instance();
    logServer->initForConfiguration(uniqueName.c_str());
    logServer->StartProcessingThread();
    logServer->setDebugLevelNumber(static_cast<unsigned>(StartDebugLevel(parser, *global)));

    Handle<TlConfiguration> configuration(TlConfigurationGlobal::Instance());
    const int portNumber = configuration->IntAtIfMissing("WATCHMGR.MANAGERPORT", 3003);
    list = new WatchedList();
    pepoWatchedList = list;
    port = new ListenPort();
    InitializeListenner(port, portNumber);
    // The status and metrics files: a thread of their own, ended here once
    // the loop is over (or by the destructor when an error leaves the block).
    std::unique_ptr<StatusWriter> status =
        StatusWriter::FromConfiguration(*configuration, portNumber, OrderCounters::Daemon());
    if (status) {
      list->SetObserver(status.get());
      status->Start();
    }
    list->ProcessBlock(port);
    if (status) {
      status->Stop();
    }
    ShutDown(port, list);
  } catch (BError& error) {
    String text;
    LogServer::Report(Warning, "DL30102",
                      std::string("[main] SEVERE ERROR in main ") + error.GetMsg(text), "GENERIC",
                      true);
    ShutDown(port, list);
    LogServer::DeleteInstance();
    return 1;
  }
  LogServer::DeleteInstance();
  return 0;
}
