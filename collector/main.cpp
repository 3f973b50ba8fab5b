// vigild: builds its configuration, starts the log server and the order
// listener, then runs the supervision cycle on the main thread until it ends.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <iostream>
#include <memory>
#include <string>

#include "AccessPolicy.h"
#include "ArgOpt.h"
#include "BError.h"
#include "CliParser.h"
#include "InheritedSocket.h"
#include "ConfigNumber.h"
#include "DaemonShutdown.h"
#include "ListenPort.h"
#include "LogServer.h"
#include "OrderCounters.h"
#include "ProgramKeeper.h"
#include "ReloadSignal.h"
#include "ServiceNotifier.h"
#include "SigHandle.h"
#include "StatusWriter.h"
#include "StopSignals.h"
#include "TlConfigurationGlobal.h"
#include "TlVigildConfiguration.h"
#include "WatchMgrDaemon.h"
#include "WatchedList.h"

namespace {

int StartDebugLevel(CliParser& parser, TlConfiguration& global) {
  int level = static_cast<int>(ConfigNumber::Read(global, "LOGMANAGER.DEBUGLEVEL", 1, 0, 10));
  std::string value;
  if (parser.optionOne("D", value)) {
    level = atoi(value.c_str());
  }
  return level;
}

// The access rules of the order port, published for the client threads, or
// null after an Error naming the bad key: a daemon that cannot read its
// rules must not start more open than it was told to. Never destroyed:
// client threads may still use it while the process exits.
AccessPolicy* BuildAccessPolicy(const TlConfiguration& configuration) {
  AccessPolicy* policy = new AccessPolicy(geteuid());
  std::string error;
  if (!policy->Configure(configuration, error)) {
    LogServer::Report(Error, "DL30000", "[vigild::main] ERROR, " + error, "GENERIC", true);
    delete policy;
    return nullptr;
  }
  if (policy->OpenBeyondHost()) {
    LogServer::Report(Warning, "DL30102",
                      "[vigild::main] WARNING : the order port accepts peers beyond this host "
                      "(WATCHMGR.ALLOWEDPEERS=" +
                          policy->PeersText() + ")",
                      "GENERIC", true);
  }
  if (policy->AnyUser()) {
    LogServer::Report(Warning, "DL30102",
                      "[vigild::main] WARNING : orders from every user are obeyed "
                      "(WATCHMGR.ALLOWEDUSERS=any)",
                      "GENERIC", true);
  }
  AccessPolicy::Publish(policy);
  return policy;
}

// Opens the service manager's notifications when it asked for them
// (NOTIFY_SOCKET) and WATCHMGR.SERVICENOTIFY does not turn them off; then
// every pass of list reports its summary and feeds the watchdog.
void OpenServiceNotifier(const TlConfiguration& configuration,
                         const ServiceNotifier::Settings& notify, WatchedList* list) {
  if (notify.address.empty() && notify.problem.empty()) {
    return;
  }
  if (ConfigNumber::Read(configuration, "WATCHMGR.SERVICENOTIFY", 1, 0, 1) == 0) {
    LogServer::Report(Debug1, nullptr,
                      "[vigild::main] INFO : NOTIFY_SOCKET ignored (WATCHMGR.SERVICENOTIFY=0)");
    return;
  }
  ServiceNotifier& notifier = ServiceNotifier::Daemon();
  if (notifier.Open(notify)) {
    list->SetPassListener(
        [&notifier](const PassSummary& summary) { notifier.PassDone(summary.Line()); });
  }
}

}  // namespace

int main(int argc, char** argv) {
  // Taken while this is the only thread: it changes the environment.
  InheritedSocket inherited;
  inherited.TakeFromEnvironment();
  const ServiceNotifier::Settings notify = ServiceNotifier::TakeFromEnvironment();
  // The stop signals and SIGHUP are blocked before any thread exists, so
  // that every thread inherits the mask and only their watchers take them.
  ReloadSignal::Block();
  StopSignals::Block();
  StopSignals::Start();
  ArgOpt arguments(argc, argv);
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
    if (LogServer::shouldCreateFiles()) {
      WarnIfOpenToOthers(LogServer::getStartDebugPath().chars(), "log");
    }

    Handle<TlConfiguration> configuration(TlConfigurationGlobal::Instance());
    const int portNumber = static_cast<int>(
        ConfigNumber::Read(*configuration, "WATCHMGR.MANAGERPORT", 3003, 1, 65535));
    AccessPolicy* policy = BuildAccessPolicy(*configuration);
    if (policy == nullptr) {
      LogServer::DeleteInstance();
      return 1;
    }
    list = new WatchedList();
    list->SetMaxWatchesPerUser(ConfigNumber::Read(*configuration, "WATCHMGR.MAXWATCHESPERUSER",
                                                  WatchedList::kDefaultMaxWatchesPerUser, 0,
                                                  1000000));
    list->SetMaxParallelRestarts(ConfigNumber::Read(*configuration,
                                                    "WATCHMGR.MAXPARALLELRESTARTS",
                                                    RestartWorkers::kDefaultLimit, 1, 1024));
    // The back-off: RESTARTDELAY at 10000 with MAXRESTARTDELAY at 10000 and
    // RESTARTLIMIT at 0 gives a fixed 10 s pause and no giving up.
    RestartSettings restart;
    restart.firstDelayMs = ConfigNumber::Read(*configuration, "WATCHMGR.RESTARTDELAY",
                                              restart.firstDelayMs, 0, 3600L * 1000);
    restart.windowMs = ConfigNumber::Read(*configuration, "WATCHMGR.RESTARTWINDOW",
                                          restart.windowMs / 1000, 1, 7L * 24 * 3600) *
                       1000;
    restart.maxDelayMs = ConfigNumber::Read(*configuration, "WATCHMGR.MAXRESTARTDELAY",
                                            restart.maxDelayMs / 1000, 0, 24L * 3600) *
                         1000;
    restart.limit = ConfigNumber::Read(*configuration, "WATCHMGR.RESTARTLIMIT", restart.limit,
                                       0, 1000000);
    list->SetRestartSettings(restart);
    pepoWatchedList = list;
    port = new ListenPort();
    if (inherited.state() != InheritedSocket::kNone) {
      port->UseInheritedSocket(&inherited);
    }
    port->SetAccessPolicy(policy);
    port->SetBindAddress(policy->BindAddress());
    port->SetMaxClients(static_cast<int>(ConfigNumber::Read(
        *configuration, "WATCHMGR.MAXCLIENTS", ListenPort::kMaxClients, 1, 1000000)));
    port->SetMaxClientsPerUser(static_cast<int>(ConfigNumber::Read(
        *configuration, "WATCHMGR.MAXCLIENTSPERUSER", ListenPort::kMaxClientsPerUser, 1, 1000000)));
    // Beside the TCP port, for local users whom the kernel names: an empty
    // value leaves the daemon on TCP alone.
    std::string root;
    std::string localSocket;
    configuration->AtIfMissing("ROOT_DIRECTORY", root, "");
    configuration->AtIfMissing("WATCHMGR.LOCALSOCKET", localSocket, root + "run/vigild.sock");
    port->SetLocalSocket(localSocket);
    OpenServiceNotifier(*configuration, notify, list);
    // Program files: read before the listener opens, so that orders for
    // their names find them; started once it listens. Never destroyed:
    // client threads may still use it while the process exits.
    ProgramKeeper* keeper =
        new ProgramKeeper(*list, ProgramKeeper::SettingsFrom(*configuration, portNumber, localSocket));
    keeper->Load();
    pepoProgramKeeper = keeper;
    struct StopKeeper {
      ~StopKeeper() {
        ReloadSignal::SetKeeper(nullptr);
        program->Stop();
      }
      ProgramKeeper* program;
    } stopKeeper{keeper};
    if (InitializeListenner(port, portNumber) == 1) {
      ServiceNotifier::Daemon().Ready();
    }
    StopSignals::SetListener(port);
    LogServer::Report(Warning, "DL30102",
                      "[vigild::main] WARNING : vigild " + std::to_string(getpid()) +
                          " started on port " + std::to_string(portNumber),
                      "GENERIC", true);

    // The status and metrics files: a thread of their own, ended here once
    // the loop is over (or by the destructor when an error leaves the block).
    std::unique_ptr<StatusWriter> status =
        StatusWriter::FromConfiguration(*configuration, portNumber, OrderCounters::Daemon());
    // Withdrawn from the stop sequence before the writer is destroyed, also
    // when an error leaves this block.
    struct WithdrawStatusWriter {
      ~WithdrawStatusWriter() { StopSignals::SetStatusWriter(nullptr); }
    } withdraw;
    if (status) {
      list->SetObserver(status.get());
      status->Start();
      StopSignals::SetStatusWriter(status.get());
    }
    keeper->Start();
    ReloadSignal::SetKeeper(keeper);
    ReloadSignal::Start();
    list->ProcessBlock(port);
    LogServer::Report(Warning, "DL30102", "[vigild::main] WARNING : vigild stopping", "GENERIC",
                      true);
    StopSignals::Disarm();
    ServiceNotifier::Daemon().Stopping();
    if (status) {
      status->Stop();
    }
    DaemonShutdown::Run(port, list, 0);
  } catch (BError& error) {
    String text;
    LogServer::Report(Warning, "DL30102",
                      std::string("[main] SEVERE ERROR in main ") + error.GetMsg(text), "GENERIC",
                      true);
    StopSignals::Disarm();
    DaemonShutdown::Run(port, list, 1);
    LogServer::DeleteInstance();
    return 1;
  }
  LogServer::DeleteInstance();
  return 0;
}
