#include "ProgramRunner.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <fstream>
#include <functional>
#include <memory>
#include <vector>

#include "CleanEnvironment.h"
#include "HealthCheck.h"
#include "OutputLog.h"
#include "ShellQuote.h"
#include "SystemError.h"
#include "VigilClient.h"

namespace {

long NowMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000L + now.tv_nsec / 1000000L;
}

std::string SelfPath() {
  char buffer[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string("vigilctl");
}

// The status vigilctl ends with for a child's wait status.
int ExitStatus(int status) {
  if (WIFEXITED(status)) {
    return WEXITSTATUS(status);
  }
  if (WIFSIGNALED(status)) {
    return 128 + WTERMSIG(status);
  }
  return 1;
}

// This process's directory; empty (errno set) when it cannot be read.
std::string CurrentDirectory() {
  std::vector<char> buffer(PATH_MAX);
  while (getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (errno != ERANGE || buffer.size() > (1u << 20)) {
      return std::string();
    }
    buffer.resize(buffer.size() * 2);
  }
  return std::string(buffer.data());
}

// Pointers into words, null-terminated, for execve.
std::vector<char*> Pointers(std::vector<std::string>& words) {
  std::vector<char*> pointers;
  for (std::string& word : words) {
    pointers.push_back(&word[0]);
  }
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

int ProgramRunner::HeartbeatSeconds(int wdfreq) {
  const int period = (wdfreq < 0 ? kDefaultWdFreq : wdfreq) / 2;
  return period < 1 ? 1 : period;
}

std::string ProgramRunner::Name(const CtlArguments& arguments) {
  if (!arguments.name.empty() || arguments.command.empty()) {
    return arguments.name;
  }
  const std::string& program = arguments.command[0];
  const size_t slash = program.rfind('/');
  return slash == std::string::npos ? program : program.substr(slash + 1);
}

std::string ProgramRunner::StartCommand(const CtlArguments& arguments, const std::string& self,
                                        const std::string& directory) {
  std::vector<std::string> words{self, "run", "--host", arguments.host, "--port",
                                 std::to_string(arguments.port)};
  // The restarted wrapper has no TLMHOME to find the local socket by.
  if (!arguments.socketPath.empty()) {
    words.insert(words.end(), {"--socket", arguments.socketPath});
  }
  words.insert(words.end(),
               {"--name", Name(arguments), "--wdfreq",
                std::to_string(arguments.wdfreq < 0 ? kDefaultWdFreq : arguments.wdfreq)});
  const std::pair<const char*, int> limits[] = {{"--maxwset", arguments.maxwset},
                                                {"--minwset", arguments.minwset},
                                                {"--wsetincr", arguments.wsetincr},
                                                {"--nomwset", arguments.nomwset},
                                                {"--maxerrors", arguments.maxerrors}};
  for (const auto& limit : limits) {
    if (limit.second >= 0) {
      words.push_back(limit.first);
      words.push_back(std::to_string(limit.second));
    }
  }
  words.push_back("--restart");
  words.push_back(CtlArguments::RestartName(arguments.restart));
  words.insert(words.end(), {"--chdir", directory});
  for (const std::string& entry : arguments.env) {
    words.insert(words.end(), {"--env", entry});
  }
  if (!arguments.check.empty()) {
    words.insert(words.end(), {"--check", arguments.check, "--check-every",
                               std::to_string(arguments.checkEvery), "--check-timeout",
                               std::to_string(arguments.checkTimeout), "--check-failures",
                               std::to_string(arguments.checkFailures), "--check-grace",
                               std::to_string(arguments.checkGrace)});
  }
  if (arguments.output != "inherit") {
    words.insert(words.end(), {"--output", arguments.output});
  }
  if (arguments.output == "log") {
    words.insert(words.end(), {"--log", arguments.logFile, "--log-size",
                               std::to_string(arguments.logSize), "--log-keep",
                               std::to_string(arguments.logKeep)});
  }
  words.push_back("--");
  words.insert(words.end(), arguments.command.begin(), arguments.command.end());
  return ShellQuote::Line(words);
}

int ProgramRunner::ResidentKb(int pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, 6, "VmRSS:") == 0) {
      const long kb = strtol(line.c_str() + 6, nullptr, 10);
      return kb < 0 || kb > INT_MAX ? -1 : static_cast<int>(kb);
    }
  }
  return -1;
}

char ProgramRunner::ProcessState(int pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  // The command name in parentheses may hold anything, ") Z (" too: the
  // state follows the last closing parenthesis.
  const size_t close = line.rfind(')');
  return close == std::string::npos || close + 2 >= line.size() ? '\0' : line[close + 2];
}

std::vector<std::string> ProgramRunner::Environment(const std::vector<std::string>& extra) {
  std::vector<std::string> entries = CleanEnvironment::For(CleanEnvironment::AccountOf(geteuid()));
  for (const std::string& entry : extra) {
    const std::string name = entry.substr(0, entry.find('=') + 1);
    bool replaced = false;
    for (std::string& present : entries) {
      if (present.compare(0, name.size(), name) == 0) {
        present = entry;
        replaced = true;
      }
    }
    if (!replaced) {
      entries.push_back(entry);
    }
  }
  return entries;
}

std::string ProgramRunner::DownValue(int status) {
  return WIFSIGNALED(status) ? "signal " + std::to_string(WTERMSIG(status))
                             : "exit " + std::to_string(WEXITSTATUS(status));
}

std::string ProgramRunner::FindProgram(const std::string& program, const char* pathVariable) {
  if (program.empty()) {
    return std::string();
  }
  if (program.find('/') != std::string::npos) {
    return program;
  }
  const std::string path = pathVariable != nullptr ? pathVariable : "/usr/bin:/bin";
  size_t begin = 0;
  while (begin <= path.size()) {
    size_t end = path.find(':', begin);
    if (end == std::string::npos) {
      end = path.size();
    }
    const std::string directory = end == begin ? "." : path.substr(begin, end - begin);
    const std::string candidate = directory + "/" + program;
    if (access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
    begin = end + 1;
  }
  return std::string();
}


namespace {

// The running child and the wrapper's conversation with the daemon about
// it: heartbeats, checks, signals passed on, and the report of its end.
class Supervision {
 public:
  Supervision(const CtlArguments& settings, VigilClient& daemon,
              const VigilClient::WatchRequest& registration, HealthCheck* probe, int signalFd,
              std::ostream& messages, int outputFd, OutputLog* outputLog)
      : output(outputFd),
        log(outputLog),
        arguments(settings),
        client(daemon),
        request(registration),
        check(probe),
        signals(signalFd),
        err(messages),
        child(registration.pid),
        nominal(settings.nomwset < 0 ? 0 : settings.nomwset),
        connections(daemon.Connections()) {}

  // Runs until the child ends; its wait status.
  int Loop() {
    const long periodMs = ProgramRunner::HeartbeatSeconds(arguments.wdfreq) * 1000L;
    const long start = NowMs();
    long nextBeat = start;
    long nextCheck = start + arguments.checkEvery * 1000L;
    for (;;) {
      long now = NowMs();
      long wake = down ? LONG_MAX : nextBeat;
      if (check != nullptr && check->Running()) {
        wake = std::min(wake, check->Deadline());
      } else if (check != nullptr && !stopping && !down) {
        wake = std::min(wake, nextCheck);
      }
      // The program's output, and the daemon's connection, which turns
      // readable only when the daemon goes away: the registration is then
      // sent again as soon as a daemon listens, not a heartbeat later.
      pollfd ready[4] = {{signals, POLLIN, 0}, {-1, 0, 0}, {output, POLLIN, 0},
                         {client.Fd(), POLLIN | POLLRDHUP, 0}};
      if (check != nullptr && check->Running() && check->Fd() >= 0) {
        ready[1] = {check->Fd(), check->Events(), 0};
      }
      const int wait = wake == LONG_MAX ? -1 : static_cast<int>(std::max(0L, wake - now));
      const int n = poll(ready, 4, wait);
      if (n < 0 && errno != EINTR) {
        return 0;
      }
      if (n > 0 && ready[2].revents != 0 && !Drain()) {
        output = -1;  // every writer closed it: nothing more comes
      }
      if (n > 0 && ready[3].revents != 0) {
        client.Close();
        nextBeat = std::min(nextBeat, NowMs());
      }
      if (n > 0 && (ready[0].revents & POLLIN) != 0) {
        signalfd_siginfo info{};
        if (read(signals, &info, sizeof info) == static_cast<ssize_t>(sizeof info) &&
            static_cast<int>(info.ssi_signo) != SIGCHLD) {
          // Told to stop: the child gets the signal, and SIGCONT so that a
          // stopped child receives it too.
          stopping = true;
          kill(child, static_cast<int>(info.ssi_signo));
          kill(child, SIGCONT);
        }
        // SIGCHLD, or one merged into an earlier one: is it the program?
        int status = 0;
        if (waitpid(child, &status, WNOHANG) == child) {
          return status;
        }
      }
      now = NowMs();
      if (check != nullptr && check->Running()) {
        _Judge(check->Step(now), check->Why(), now - start);
      }
      if (check != nullptr && !check->Running() && !stopping && !down && now >= nextCheck) {
        nextCheck = now + arguments.checkEvery * 1000L;
        const char state = ProgramRunner::ProcessState(child);
        if (state == 'T' || state == 't' || state == 'Z') {
          _Judge(HealthCheck::kUnhealthy,
                 state == 'Z' ? "the program is a zombie" : "the program is stopped", now - start);
        } else {
          check->Begin(now, arguments.checkTimeout * 1000L);
          _Judge(check->Step(now), check->Why(), now - start);
        }
      }
      if (!down && now >= nextBeat) {
        nextBeat += periodMs;
        const int resident = ProgramRunner::ResidentKb(child);
        if (resident >= 0) {
          lastResident = resident;
        }
        const VigilClient::Result result =
            _Order([&] { return client.Beat(child, lastResident, nominal, 0); });
        if (result != VigilClient::kOk && !failing) {
          err << "vigilctl: " << client.LastError() << " (the program keeps running)\n";
        }
        failing = result != VigilClient::kOk;
        if (failing) {
          // A daemon that restarts learns of the program within a second.
          nextBeat = std::min(nextBeat, NowMs() + kRetryMs);
        }
      }
    }
  }

  // Moves what the program wrote to the log; false at the end of the
  // output (every writer gone).
  bool Drain() {
    char buffer[65536];
    for (;;) {
      const ssize_t n = read(output, buffer, sizeof buffer);
      if (n > 0) {
        if (log != nullptr) {
          log->Feed(buffer, static_cast<size_t>(n));
        }
        continue;
      }
      if (n < 0 && errno == EINTR) {
        continue;
      }
      return n < 0;  // EAGAIN: all read for now; 0: the end
    }
  }

  // Tells the daemon how the child ended: a restart where the policy calls
  // for one, else a forget. A child ended after the wrapper was told to
  // stop is the stopper's business: only a clean exit is forgotten, as it
  // always has been.
  void End(int status) {
    const bool clean = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    const CtlArguments::Restart policy = arguments.restart;
    const bool restart =
        policy == CtlArguments::kAlways || (policy == CtlArguments::kOnFailure && !clean);
    VigilClient::Result result = VigilClient::kOk;
    if (!stopping && restart && !down) {
      const std::string value = ProgramRunner::DownValue(status);
      result = _Order([&] { return client.Down(child, lastResident, nominal, 0, value); });
    } else if ((!stopping && !restart) || (stopping && clean && policy != CtlArguments::kAlways)) {
      result = _Order([&] { return client.Forget(child); });
    }
    if (result != VigilClient::kOk) {
      err << "vigilctl: " << client.LastError() << "\n";
    }
    client.Finish();
  }

 private:
  // Sends one order; when that needed a new connection, the daemon may have
  // restarted and forgotten the child, so it is registered again and the
  // order repeated.
  VigilClient::Result _Order(const std::function<VigilClient::Result()>& send) {
    VigilClient::Result result = send();
    if (result == VigilClient::kOk && client.Connections() != connections) {
      connections = client.Connections();
      result = client.Watch(request);
      if (result == VigilClient::kOk) {
        result = send();
      }
    }
    return result;
  }

  // Counts one check's outcome; elapsedMs is the time since the start.
  void _Judge(HealthCheck::Outcome outcome, const std::string& why, long elapsedMs) {
    if (outcome == HealthCheck::kPending || stopping || down) {
      return;
    }
    if (outcome == HealthCheck::kHealthy) {
      failures = 0;
      return;
    }
    if (elapsedMs < arguments.checkGrace * 1000L) {
      return;
    }
    ++failures;
    err << "vigilctl: check " << failures << " of " << arguments.checkFailures
        << " failed: " << why << "\n";
    if (failures < arguments.checkFailures) {
      return;
    }
    // The daemon restarts the program; an older daemon that does not know
    // the report restarts it when the heartbeats stop.
    down = true;
    if (_Order([&] { return client.Down(child, lastResident, nominal, 0, "probe"); }) !=
        VigilClient::kOk) {
      err << "vigilctl: " << client.LastError() << "\n";
    }
  }

  static constexpr long kRetryMs = 1000;

  int output;               // the read end of the program's output, -1: none
  OutputLog* const log;     // null unless --output log
  const CtlArguments& arguments;
  VigilClient& client;
  const VigilClient::WatchRequest& request;
  HealthCheck* const check;  // null without --check
  const int signals;
  std::ostream& err;
  const int child;
  const int nominal;
  int connections;
  int lastResident = 0;
  int failures = 0;       // failed checks in a row
  bool failing = false;   // the last heartbeat could not be sent
  bool stopping = false;  // the wrapper was told to stop
  bool down = false;      // the checks reported the program down
};

}  // namespace

int ProgramRunner::Run(const CtlArguments& arguments, std::ostream& err) {
  // The program's directory is the wrapper's too, so that an exec check
  // runs where the program does.
  if (!arguments.chdir.empty() && chdir(arguments.chdir.c_str()) != 0) {
    err << "vigilctl: cannot enter directory " << arguments.chdir << ": "
        << SystemError::Text(errno) << "\n";
    return 1;
  }
  const std::string directory = CurrentDirectory();
  if (directory.empty()) {
    err << "vigilctl: cannot read the current directory: " << SystemError::Text(errno) << "\n";
    return 1;
  }
  std::vector<std::string> environment = Environment(arguments.env);

  const std::string name = Name(arguments);
  std::string problem = VigilClient::CheckText("name", name);
  for (const std::string& word : arguments.command) {
    if (problem.empty() && word.find_first_of(std::string("\n\r", 2)) != std::string::npos) {
      problem = "the command contains a line feed or carriage return";
    }
  }
  const std::string start = StartCommand(arguments, SelfPath(), directory);
  if (problem.empty()) {
    problem = VigilClient::CheckText("the command line", start);
  }
  if (!problem.empty()) {
    err << "vigilctl: " << problem << "\n";
    return 1;
  }
  std::unique_ptr<HealthCheck> check;
  if (!arguments.check.empty()) {
    HealthCheck::Target target;
    HealthCheck::Parse(arguments.check, &target, &problem);
    check = std::make_unique<HealthCheck>(target, environment);
    if (!check->Resolve(&problem)) {
      err << "vigilctl: --check " << arguments.check << ": " << problem << "\n";
      return 1;
    }
  }
  // Looked up along the program's own PATH, so that a restart finds the
  // same program.
  const char* path = nullptr;
  for (const std::string& entry : environment) {
    if (entry.compare(0, 5, "PATH=") == 0) {
      path = entry.c_str() + 5;
    }
  }
  const std::string program = FindProgram(arguments.command[0], path);
  if (program.empty()) {
    err << "vigilctl: " << arguments.command[0] << ": command not found\n";
    return 127;
  }

  VigilClient client(arguments.host, arguments.port, 5000, arguments.socketPath);
  if (client.Connect() != VigilClient::kOk) {
    err << "vigilctl: " << client.LastError() << "\n";
    return 2;
  }

  sigset_t handled;
  sigemptyset(&handled);
  for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGCHLD}) {
    sigaddset(&handled, signal);
  }
  sigprocmask(SIG_BLOCK, &handled, nullptr);
  const int signals = signalfd(-1, &handled, SFD_CLOEXEC);
  int execPipe[2];
  if (signals < 0 || pipe2(execPipe, O_CLOEXEC) != 0) {
    err << "vigilctl: cannot prepare to run: " << SystemError::Text(errno) << "\n";
    return 1;
  }

  // The program's standard output and error: a pipe the wrapper reads into
  // the log, /dev/null, or the wrapper's own.
  std::unique_ptr<OutputLog> log;
  int outputPipe[2] = {-1, -1};
  int sink = -1;
  if (arguments.output == "log") {
    problem.clear();
    log = std::make_unique<OutputLog>(arguments.logFile, arguments.logSize, arguments.logKeep);
    if (!log->Open(&problem) || pipe2(outputPipe, O_CLOEXEC) != 0) {
      err << "vigilctl: " << (problem.empty() ? SystemError::Text(errno) : problem) << "\n";
      return 1;
    }
    fcntl(outputPipe[0], F_SETFL, fcntl(outputPipe[0], F_GETFL) | O_NONBLOCK);
    sink = outputPipe[1];
  } else if (arguments.output == "null") {
    sink = open("/dev/null", O_WRONLY | O_CLOEXEC);
  }

  // Everything the child needs is built before fork: after it, only
  // async-signal-safe calls. The child starts with every signal at its
  // default and none blocked, as the daemon's commands do, so that it
  // behaves the same before and after a restart.
  std::vector<std::string> words(arguments.command);
  const std::vector<char*> argv = Pointers(words);
  const std::vector<char*> envp = Pointers(environment);
  struct sigaction byDefault {};
  byDefault.sa_handler = SIG_DFL;
  sigemptyset(&byDefault.sa_mask);
  sigset_t none;
  sigemptyset(&none);
  const pid_t child = fork();
  if (child == 0) {
    for (int sig = 1; sig < NSIG; ++sig) {
      sigaction(sig, &byDefault, nullptr);
    }
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (sink >= 0) {
      dup2(sink, STDOUT_FILENO);
      dup2(sink, STDERR_FILENO);
    }
    execve(program.c_str(), argv.data(), envp.data());
    const int error = errno;
    ssize_t ignored = write(execPipe[1], &error, sizeof error);
    (void)ignored;
    _exit(127);
  }
  close(execPipe[1]);
  if (sink >= 0) {
    close(sink);
  }
  if (child < 0) {
    err << "vigilctl: cannot start " << arguments.command[0] << ": " << SystemError::Text(errno)
        << "\n";
    return 1;
  }
  int execError = 0;
  ssize_t got;
  do {
    got = read(execPipe[0], &execError, sizeof execError);
  } while (got < 0 && errno == EINTR);
  close(execPipe[0]);
  if (got == static_cast<ssize_t>(sizeof execError)) {
    waitpid(child, nullptr, 0);
    err << "vigilctl: cannot run " << program << ": " << SystemError::Text(execError) << "\n";
    return execError == ENOENT ? 127 : 126;
  }

  VigilClient::WatchRequest request;
  request.pid = child;
  request.name = name;
  request.start = start;
  // The wrapper passes the stop on with SIGCONT, which a plain kill of the
  // child would not: a stopped child would never see its SIGTERM.
  request.stop = "kill " + std::to_string(getpid());
  request.wdfreq = arguments.wdfreq < 0 ? kDefaultWdFreq : arguments.wdfreq;
  request.maxwset = arguments.maxwset;
  request.minwset = arguments.minwset;
  request.wsetincr = arguments.wsetincr;
  request.maxerrors = arguments.maxerrors;
  if (client.Watch(request) != VigilClient::kOk) {
    err << "vigilctl: " << client.LastError() << "\n";
    kill(child, SIGTERM);
    kill(child, SIGCONT);
    waitpid(child, nullptr, 0);
    return 2;
  }

  Supervision supervision(arguments, client, request, check.get(), signals, err, outputPipe[0],
                          log.get());
  const int status = supervision.Loop();
  // What the program wrote before it ended; a child of its own that keeps
  // the pipe open is not waited for.
  if (outputPipe[0] >= 0) {
    supervision.Drain();
    close(outputPipe[0]);
  }
  if (log) {
    log->Close();
  }
  supervision.End(status);
  close(signals);
  return ExitStatus(status);
}
