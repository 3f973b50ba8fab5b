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

#include <fstream>
#include <vector>

#include "ShellQuote.h"
#include "SystemError.h"
#include "VigilClient.h"

extern char** environ;

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

std::string ProgramRunner::StartCommand(const CtlArguments& arguments, const std::string& self) {
  std::vector<std::string> words{
      self,       "run",
      "--host",   arguments.host,
      "--port",   std::to_string(arguments.port),
      "--name",   Name(arguments),
      "--wdfreq", std::to_string(arguments.wdfreq < 0 ? kDefaultWdFreq : arguments.wdfreq)};
  const std::pair<const char*, int> limits[] = {{"--maxwset", arguments.maxwset},
                                                {"--minwset", arguments.minwset},
                                                {"--wsetincr", arguments.wsetincr},
                                                {"--nomwset", arguments.nomwset}};
  for (const auto& limit : limits) {
    if (limit.second >= 0) {
      words.push_back(limit.first);
      words.push_back(std::to_string(limit.second));
    }
  }
  words.push_back("--restart");
  words.push_back(CtlArguments::RestartName(arguments.restart));
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

int ProgramRunner::Run(const CtlArguments& arguments, std::ostream& err) {
  const std::string name = Name(arguments);
  std::string problem = VigilClient::CheckText("name", name);
  for (const std::string& word : arguments.command) {
    if (problem.empty() && word.find_first_of(std::string("\n\r", 2)) != std::string::npos) {
      problem = "the command contains a line feed or carriage return";
    }
  }
  const std::string self = SelfPath();
  const std::string start = StartCommand(arguments, self);
  if (problem.empty()) {
    problem = VigilClient::CheckText("the command line", start);
  }
  if (!problem.empty()) {
    err << "vigilctl: " << problem << "\n";
    return 1;
  }
  const std::string program = FindProgram(arguments.command[0], getenv("PATH"));
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
  sigset_t original;
  sigemptyset(&handled);
  for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGCHLD}) {
    sigaddset(&handled, signal);
  }
  sigprocmask(SIG_BLOCK, &handled, &original);
  const int signals = signalfd(-1, &handled, SFD_CLOEXEC);
  int execPipe[2];
  if (signals < 0 || pipe2(execPipe, O_CLOEXEC) != 0) {
    err << "vigilctl: cannot prepare to run: " << SystemError::Text(errno) << "\n";
    return 1;
  }

  // Everything the child needs is built before fork: after it, only
  // async-signal-safe calls.
  std::vector<std::string> words(arguments.command);
  std::vector<char*> argv;
  for (std::string& word : words) {
    argv.push_back(&word[0]);
  }
  argv.push_back(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    sigprocmask(SIG_SETMASK, &original, nullptr);
    execve(program.c_str(), argv.data(), environ);
    const int error = errno;
    ssize_t ignored = write(execPipe[1], &error, sizeof error);
    (void)ignored;
    _exit(127);
  }
  close(execPipe[1]);
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
  request.stop = "kill " + std::to_string(child);
  request.wdfreq = arguments.wdfreq < 0 ? kDefaultWdFreq : arguments.wdfreq;
  request.maxwset = arguments.maxwset;
  request.minwset = arguments.minwset;
  request.wsetincr = arguments.wsetincr;
  if (client.Watch(request) != VigilClient::kOk) {
    err << "vigilctl: " << client.LastError() << "\n";
    kill(child, SIGTERM);
    waitpid(child, nullptr, 0);
    return 2;
  }

  const long periodMs = HeartbeatSeconds(arguments.wdfreq) * 1000L;
  const int nominal = arguments.nomwset < 0 ? 0 : arguments.nomwset;
  int connections = client.Connections();
  bool failing = false;
  int lastResident = 0;
  long nextBeat = NowMs();
  int status = 0;
  for (;;) {
    const long wait = nextBeat - NowMs();
    pollfd ready{signals, POLLIN, 0};
    const int n = poll(&ready, 1, wait > 0 ? static_cast<int>(wait) : 0);
    if (n > 0) {
      signalfd_siginfo info{};
      if (read(signals, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        if (static_cast<int>(info.ssi_signo) == SIGCHLD) {
          if (waitpid(child, &status, WNOHANG) == child) {
            break;
          }
        } else {
          kill(child, static_cast<int>(info.ssi_signo));
        }
      }
      continue;
    }
    if (n < 0 && errno != EINTR) {
      break;
    }
    if (NowMs() < nextBeat) {
      continue;
    }
    nextBeat += periodMs;
    const int resident = ResidentKb(child);
    if (resident >= 0) {
      lastResident = resident;
    }
    VigilClient::Result result = client.Beat(child, lastResident, nominal, 0);
    if (result == VigilClient::kOk && client.Connections() != connections) {
      // A new connection: the daemon may have restarted and forgotten us.
      connections = client.Connections();
      result = client.Watch(request);
      if (result == VigilClient::kOk) {
        result = client.Beat(child, lastResident, nominal, 0);
      }
    }
    if (result != VigilClient::kOk && !failing) {
      err << "vigilctl: " << client.LastError() << " (the program keeps running)\n";
    }
    failing = result != VigilClient::kOk;
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
      arguments.restart == CtlArguments::kOnFailure) {
    if (client.Forget(child) != VigilClient::kOk) {
      err << "vigilctl: " << client.LastError() << "\n";
    }
  }
  close(signals);
  return ExitStatus(status);
}
