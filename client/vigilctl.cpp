// vigilctl: the operator's and the scripts' client of vigild. Sends watch,
// heartbeat, forget and reset orders, runs a program under supervision,
// stops, starts, restarts and reloads program files' programs, shows their
// output logs and the daemon's status file. Exit statuses: 0 done, 1 usage
// error, 2 the daemon cannot be reached, 3 no daemon is running (status), 4
// not done (stop, start, restart: no such program file, or the outcome not
// seen in time); "run" ends with its program's status; "status --check
// NAME" answers 0 watching, 1 unknown, 2 restarting, waiting or failed.
#include <signal.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <thread>

#include "CtlArguments.h"
#include "ProgramLogs.h"
#include "ProgramRunner.h"
#include "StatusView.h"
#include "VigilClient.h"

namespace {

constexpr int kUsage = 1;
constexpr int kNotRunning = 3;
// status --check NAME
constexpr int kCheckWatching = 0;
constexpr int kCheckUnknown = 1;
constexpr int kCheckNotWatching = 2;
// stop, start, restart: sent, but not seen done in the status file.
constexpr int kNotDone = 4;
// How long reset looks for the program to leave its failed state.
constexpr auto kResetWait = std::chrono::seconds(5);
// How long stop, start and restart look for their outcome: a stop waits
// for the program to end, which the daemon checks every 2 s.
constexpr auto kControlWait = std::chrono::seconds(20);

std::string StatusPath(const CtlArguments& arguments) {
  return arguments.statusFile.empty() ? StatusView::DefaultPath(getenv("TLMHOME"))
                                      : arguments.statusFile;
}

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

// The state of one program for monitoring: the state word on standard
// output ("unknown" for a name the daemon does not list).
int StatusCheck(const CtlArguments& arguments) {
  StatusView view;
  std::string why;
  if (!view.Load(StatusPath(arguments), &why) || !view.Running(time(nullptr), &why)) {
    std::cerr << "vigilctl: " << why << "\n";
    std::cout << "unknown\n";
    return kCheckUnknown;
  }
  const std::string state = view.ProgramState(arguments.statusCheck);
  std::cout << (state.empty() ? "unknown" : state) << "\n";
  return state.empty() ? kCheckUnknown : state == "watching" ? kCheckWatching : kCheckNotWatching;
}

// Sends the reset, then reads the status file until the program has left
// its failed state or kResetWait has passed. The order gets no answer, so
// what the file shows is the only confirmation; an order delivered is
// success whatever it shows.
int Reset(const CtlArguments& arguments) {
  VigilClient client(arguments.host, arguments.port, 5000, arguments.socketPath);
  const VigilClient::Result result = client.Reset(arguments.name);
  if (result != VigilClient::kOk) {
    std::cerr << "vigilctl: " << client.LastError() << "\n";
    return static_cast<int>(result);
  }
  client.Finish();
  const auto deadline = std::chrono::steady_clock::now() + kResetWait;
  std::string found;
  for (;;) {
    StatusView view;
    std::string why;
    if (view.Load(StatusPath(arguments), &why) && view.Running(time(nullptr), &why)) {
      const std::string state = view.ProgramState(arguments.name);
      if (!state.empty() && state != "failed") {
        std::cout << arguments.name << ": " << state << "\n";
        return 0;
      }
      found = state.empty() ? "the daemon lists no program " + arguments.name
                            : arguments.name + " is still failed after " +
                                  std::to_string(kResetWait.count()) +
                                  " s (only the user who registered it, or root, may reset it)";
    } else {
      found = why;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  std::cerr << "vigilctl: reset sent; " << found << "\n";
  return 0;
}

// stop, start and restart: refused at once for a name the status file shows
// as no program file's; else sent, then confirmed through the status file
// (stopped; watching; watching under a new pid).
int Control(const CtlArguments& arguments) {
  const std::string& name = arguments.name;
  const char* order = arguments.verb == CtlArguments::kStop    ? "STOP"
                      : arguments.verb == CtlArguments::kStart ? "START"
                                                               : "RESTART";
  const std::string verb = arguments.verb == CtlArguments::kStop    ? "stop"
                           : arguments.verb == CtlArguments::kStart ? "start"
                                                                    : "restart";
  std::vector<long> before;
  {
    StatusView view;
    std::string why;
    if (view.Load(StatusPath(arguments), &why) && view.Running(time(nullptr), &why)) {
      if (!view.ProgramDefined(name)) {
        std::cerr << "vigilctl: no program file defines " << name << "\n";
        return kNotDone;
      }
      before = view.ProgramPids(name);
    }
  }
  VigilClient client(arguments.host, arguments.port, 5000, arguments.socketPath);
  const VigilClient::Result result = client.Control(order, name);
  if (result != VigilClient::kOk) {
    std::cerr << "vigilctl: " << client.LastError() << "\n";
    return static_cast<int>(result);
  }
  client.Finish();
  const std::string wanted = arguments.verb == CtlArguments::kStop ? "stopped" : "watching";
  const auto deadline = std::chrono::steady_clock::now() + kControlWait;
  std::string found;
  for (;;) {
    StatusView view;
    std::string why;
    if (view.Load(StatusPath(arguments), &why) && view.Running(time(nullptr), &why)) {
      const std::string state = view.ProgramState(name);
      bool renewed = true;
      if (arguments.verb == CtlArguments::kRestart) {
        const std::vector<long> now = view.ProgramPids(name);
        for (long pid : now) {
          renewed = renewed && std::find(before.begin(), before.end(), pid) == before.end();
        }
        renewed = renewed && !now.empty();
      }
      if (state == wanted && renewed) {
        std::cout << name << ": " << state << "\n";
        return 0;
      }
      found = name + " is " + (state.empty() ? "unknown" : state) + " after " +
              std::to_string(kControlWait.count()) +
              " s (only root and the program's user may " + verb + " it)";
    } else {
      found = why;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  std::cerr << "vigilctl: " << verb << " sent; " << found << "\n";
  return kNotDone;
}

int Reload(const CtlArguments& arguments) {
  VigilClient client(arguments.host, arguments.port, 5000, arguments.socketPath);
  const VigilClient::Result result = client.Reload();
  if (result != VigilClient::kOk) {
    std::cerr << "vigilctl: " << client.LastError() << "\n";
    return static_cast<int>(result);
  }
  client.Finish();
  std::cout << "reload sent: the daemon's log lists what it started, stopped and restarted\n";
  return 0;
}

int Logs(const CtlArguments& arguments) {
  if (arguments.name.find('/') != std::string::npos || arguments.name[0] == '.') {
    std::cerr << "vigilctl: invalid program name '" << arguments.name << "'\n"
              << CtlArguments::Usage();
    return kUsage;
  }
  const std::string directory = arguments.logDir.empty()
                                    ? CtlArguments::DefaultLogDir(getenv("TLMHOME"))
                                    : arguments.logDir;
  ProgramLogs logs(directory + "/" + arguments.name + "/output.log");
  std::string why;
  if (!logs.Tail(static_cast<size_t>(arguments.lines), std::cout, &why)) {
    std::cerr << "vigilctl: " << why << "\n";
    return 1;
  }
  std::cout << std::flush;
  if (arguments.follow) {
    logs.Follow(std::cout, [] { return false; }, 200);
  }
  return 0;
}

int Status(const CtlArguments& arguments) {
  if (!arguments.statusCheck.empty()) {
    return StatusCheck(arguments);
  }
  const std::string path = StatusPath(arguments);
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
    case CtlArguments::kReset:
      return Reset(arguments);
    case CtlArguments::kStop:
    case CtlArguments::kStart:
    case CtlArguments::kRestart:
      return Control(arguments);
    case CtlArguments::kReload:
      return Reload(arguments);
    case CtlArguments::kLogs:
      return Logs(arguments);
    default:
      return Send(arguments);
  }
}
