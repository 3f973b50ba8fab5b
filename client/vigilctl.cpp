// vigilctl: the operator's and the scripts' client of vigild. Sends watch,
// heartbeat and forget orders, runs a program under supervision, and shows
// the daemon's status file. Exit statuses: 0 done, 1 usage error, 2 the
// daemon cannot be reached, 3 no daemon is running (status); "run" ends
// with its program's status.
#include <signal.h>
#include <stdlib.h>
#include <time.h>

#include <iostream>

#include "CtlArguments.h"
#include "ProgramRunner.h"
#include "StatusView.h"
#include "VigilClient.h"

namespace {

constexpr int kUsage = 1;
constexpr int kNotRunning = 3;

int Send(const CtlArguments& arguments) {
  VigilClient client(arguments.host, arguments.port, 5000, arguments.socketPath);
  VigilClient::Result result = VigilClient::kOk;
  switch (arguments.verb) {
    case CtlArguments::kWatch: {
      VigilClient::WatchRequest request;
      request.pid = arguments.pid;
      request.name = arguments.name;
      request.start = arguments.start;
      request.stop = arguments.stop;
      request.wdfreq = arguments.wdfreq;
      request.maxwset = arguments.maxwset;
      request.minwset = arguments.minwset;
      request.wsetincr = arguments.wsetincr;
      request.maxerrors = arguments.maxerrors;
      std::string text;
      std::string problem;
      if (!VigilClient::WatchText(request, &text, &problem)) {
        std::cerr << "vigilctl: " << problem << "\n" << CtlArguments::Usage();
        return kUsage;
      }
      result = client.Watch(request);
      break;
    }
    case CtlArguments::kBeat:
      result = client.Beat(arguments.pid, arguments.wset < 0 ? 0 : arguments.wset,
                           arguments.nomwset < 0 ? 0 : arguments.nomwset,
                           arguments.errors < 0 ? 0 : arguments.errors);
      break;
    case CtlArguments::kForget:
      result = client.Forget(arguments.pid);
      break;
    default:
      break;
  }
  if (result != VigilClient::kOk) {
    std::cerr << "vigilctl: " << client.LastError() << "\n";
  } else {
    client.Finish();
  }
  return static_cast<int>(result);
}

int Status(const CtlArguments& arguments) {
  const std::string path = arguments.statusFile.empty() ? StatusView::DefaultPath(getenv("TLMHOME"))
                                                        : arguments.statusFile;
  StatusView view;
  std::string why;
  const time_t now = time(nullptr);
  if (!view.Load(path, &why) || !view.Running(now, &why)) {
    std::cerr << "vigilctl: " << why << "\n";
    return kNotRunning;
  }
  std::cout << (arguments.json ? view.Text() : view.Table(now)) << std::flush;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // A daemon that closes the connection must give an error, not a signal.
  signal(SIGPIPE, SIG_IGN);
  CtlArguments arguments;
  std::string error;
  if (!CtlArguments::Parse(argc, argv, getenv("TLM_SNMP_COLL_VIGILDPORT"), &arguments, &error)) {
    std::cerr << "vigilctl: " << error << "\n" << CtlArguments::Usage();
    return kUsage;
  }
  if (arguments.help) {
    std::cout << CtlArguments::Usage();
    return 0;
  }
  // A daemon named by --host is reached over TCP; this host's own daemon
  // through its local socket whenever that exists.
  if (!arguments.socketGiven && !arguments.hostGiven) {
    arguments.socketPath = CtlArguments::DefaultSocket(getenv("TLMHOME"));
  }
  switch (arguments.verb) {
    case CtlArguments::kRun:
      return ProgramRunner::Run(arguments, std::cerr);
    case CtlArguments::kStatus:
      return Status(arguments);
    default:
      return Send(arguments);
  }
}
