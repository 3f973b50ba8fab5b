#include "HealthCheck.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "SystemError.h"

namespace {

constexpr size_t kMaxUrl = 4096;
const char kShell[] = "/usr/bin/sh";

bool StartsWith(const std::string& text, const char* prefix) {
  return text.compare(0, strlen(prefix), prefix) == 0;
}

bool Fail(std::string* error, const std::string& text) {
  *error = text;
  return false;
}

bool NameCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '-' || c == '_';
}

// Decimal digits only, 1 to 65535.
bool Port(const std::string& text, int* port) {
  if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  const long value = strtol(text.c_str(), nullptr, 10);
  *port = static_cast<int>(value);
  return value >= 1 && value <= 65535;
}

// "HTTP/d.d NNN" followed by a blank or the end of the line: the code,
// else -1.
int StatusCode(const std::string& line) {
  const auto digit = [](char c) { return c >= '0' && c <= '9'; };
  if (line.size() < 12 || !StartsWith(line, "HTTP/") || !digit(line[5]) || line[6] != '.' ||
      !digit(line[7]) || line[8] != ' ' || !digit(line[9]) || !digit(line[10]) ||
      !digit(line[11]) || (line.size() > 12 && line[12] != ' ')) {
    return -1;
  }
  return std::stoi(line.substr(9, 3));
}

std::string Seconds(long ms) { return std::to_string((ms + 999) / 1000) + " s"; }

}  // namespace

bool HealthCheck::Parse(const std::string& url, Target* target, std::string* error) {
  Target parsed;
  if (url.size() > kMaxUrl) {
    return Fail(error, "longer than " + std::to_string(kMaxUrl) + " bytes");
  }
  if (StartsWith(url, "exec:")) {
    parsed.kind = kExec;
    parsed.command = url.substr(5);
    if (parsed.command.find_first_not_of(" \t") == std::string::npos) {
      return Fail(error, "exec: needs a command");
    }
    if (parsed.command.find_first_of(std::string("\n\r\0", 3)) != std::string::npos) {
      return Fail(error, "the command holds a line feed, carriage return or NUL byte");
    }
    *target = parsed;
    return true;
  }
  std::string rest;
  if (StartsWith(url, "http://")) {
    parsed.kind = kHttp;
    rest = url.substr(7);
  } else if (StartsWith(url, "tcp://")) {
    parsed.kind = kTcp;
    rest = url.substr(6);
  } else {
    return Fail(error, "not http://HOST:PORT/PATH, tcp://HOST:PORT or exec:COMMAND");
  }
  const size_t slash = rest.find('/');
  const std::string authority = rest.substr(0, slash);
  parsed.path = slash == std::string::npos ? "/" : rest.substr(slash);
  if (parsed.kind == kTcp && slash != std::string::npos) {
    return Fail(error, "tcp:// takes no path");
  }
  for (char c : parsed.path) {
    if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7F) {
      return Fail(error, "the path holds a blank, control or non-ASCII character");
    }
  }
  std::string portText;
  bool hasPort = false;
  if (!authority.empty() && authority[0] == '[') {
    const size_t close = authority.find(']');
    if (close == std::string::npos) {
      return Fail(error, "no ']' after the IPv6 address");
    }
    parsed.host = authority.substr(1, close - 1);
    if (parsed.host.empty() || parsed.host.find_first_not_of("0123456789abcdefABCDEF:.") !=
                                   std::string::npos) {
      return Fail(error, "not an IPv6 address in brackets");
    }
    if (close + 1 < authority.size()) {
      if (authority[close + 1] != ':') {
        return Fail(error, "unexpected text after the IPv6 address");
      }
      hasPort = true;
      portText = authority.substr(close + 2);
    }
  } else {
    const size_t colon = authority.find(':');
    if (colon != std::string::npos && authority.find(':', colon + 1) != std::string::npos) {
      return Fail(error, "an IPv6 address goes in brackets");
    }
    parsed.host = authority.substr(0, colon);
    if (colon != std::string::npos) {
      hasPort = true;
      portText = authority.substr(colon + 1);
    }
    for (char c : parsed.host) {
      if (!NameCharacter(c)) {
        return Fail(error, std::string("the host holds '") + c +
                               "' (names and IPv4 addresses as they are, IPv6 in brackets)");
      }
    }
  }
  if (parsed.host.empty()) {
    return Fail(error, "no host");
  }
  if (!hasPort && parsed.kind == kTcp) {
    return Fail(error, "no port");
  }
  if (!hasPort) {
    parsed.port = 80;
  } else if (!Port(portText, &parsed.port)) {
    return Fail(error, "port '" + portText + "' is not a number from 1 to 65535");
  }
  *target = parsed;
  return true;
}

HealthCheck::HealthCheck(const Target& what, const std::vector<std::string>& env)
    : target(what), environment(env) {
  if (target.kind == kHttp) {
    const std::string host =
        target.host.find(':') != std::string::npos ? "[" + target.host + "]" : target.host;
    request = "GET " + target.path + " HTTP/1.0\r\nHost: " + host + ":" +
              std::to_string(target.port) +
              "\r\nUser-Agent: vigilctl\r\nAccept: */*\r\nConnection: close\r\n\r\n";
  }
}

HealthCheck::~HealthCheck() { _Cancel(); }

bool HealthCheck::Resolve(std::string* error) {
  if (target.kind == kExec) {
    return true;
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const int lookup =
      getaddrinfo(target.host.c_str(), std::to_string(target.port).c_str(), &hints, &found);
  if (lookup != 0) {
    *error = "cannot look up '" + target.host + "': " + gai_strerror(lookup);
    return false;
  }
  addresses.clear();
  lengths.clear();
  for (const addrinfo* at = found; at != nullptr; at = at->ai_next) {
    sockaddr_storage address{};
    memcpy(&address, at->ai_addr, at->ai_addrlen);
    addresses.push_back(address);
    lengths.push_back(at->ai_addrlen);
  }
  freeaddrinfo(found);
  return true;
}

short HealthCheck::Events() const {
  switch (state) {
    case kConnecting:
    case kSending:
      return POLLOUT;
    case kReading:
      return POLLIN;
    default:
      return 0;
  }
}

void HealthCheck::_Cancel() {
  if (fd >= 0) {
    close(fd);
    fd = -1;
  }
  if (child > 0) {
    // The command's whole group: a shell's own children go with it.
    kill(-child, SIGKILL);
    kill(child, SIGKILL);
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
    child = -1;
  }
  state = kIdle;
}

HealthCheck::Outcome HealthCheck::_Fail(const std::string& reason) {
  _Cancel();
  why = reason;
  return kUnhealthy;
}

void HealthCheck::Begin(long nowMs, long timeoutMs) {
  _Cancel();
  deadline = nowMs + timeoutMs;
  timeout = timeoutMs;
  why.clear();
  answer.clear();
  sent = 0;
  next = 0;
  if (target.kind == kExec ? _StartCommand() : _ConnectNext()) {
    return;
  }
  // Nothing to wait for: the next Step gives the failure.
  state = kWaiting;
}

bool HealthCheck::_ConnectNext() {
  if (fd >= 0) {
    close(fd);
    fd = -1;
  }
  while (next < addresses.size()) {
    const sockaddr_storage& address = addresses[next];
    const socklen_t length = lengths[next++];
    fd = socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      why = "cannot open a socket: " + SystemError::Text(errno);
      continue;
    }
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0 ||
        errno == EINPROGRESS) {
      state = kConnecting;
      return true;
    }
    why = "cannot connect: " + SystemError::Text(errno);
    close(fd);
    fd = -1;
  }
  if (why.empty()) {
    why = "no address to connect to";
  }
  return false;
}

bool HealthCheck::_StartCommand() {
  // Everything is built before fork: the child makes only
  // async-signal-safe calls.
  std::vector<std::string> words{"sh", "-c", target.command};
  std::vector<char*> argv;
  for (std::string& word : words) {
    argv.push_back(&word[0]);
  }
  argv.push_back(nullptr);
  std::vector<std::string> entries(environment);
  std::vector<char*> envp;
  for (std::string& entry : entries) {
    envp.push_back(&entry[0]);
  }
  envp.push_back(nullptr);
  struct sigaction byDefault {};
  byDefault.sa_handler = SIG_DFL;
  sigemptyset(&byDefault.sa_mask);
  sigset_t none;
  sigemptyset(&none);
  const int devNull = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (devNull < 0) {
    why = "cannot open /dev/null: " + SystemError::Text(errno);
    return false;
  }
  child = fork();
  if (child == 0) {
    setpgid(0, 0);
    for (int sig = 1; sig < NSIG; ++sig) {
      sigaction(sig, &byDefault, nullptr);
    }
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (dup2(devNull, 0) >= 0 && dup2(devNull, 1) >= 0 && dup2(devNull, 2) >= 0) {
      execve(kShell, argv.data(), envp.data());
    }
    _exit(127);
  }
  const int error = errno;
  close(devNull);
  if (child < 0) {
    child = -1;
    why = "cannot start the command: " + SystemError::Text(error);
    return false;
  }
  // Also here, so that a kill at the deadline finds the group even when
  // the child has not run yet.
  setpgid(child, child);
  state = kWaiting;
  return true;
}

HealthCheck::Outcome HealthCheck::Step(long nowMs) {
  if (state == kIdle) {
    return kPending;
  }
  if (state == kWaiting && child < 0 && fd < 0) {
    return _Fail(why);  // Begin could not start anything
  }
  const Outcome outcome = target.kind == kExec ? _StepExec() : _StepSocket();
  if (outcome == kPending && nowMs >= deadline) {
    return _Fail(target.kind == kExec ? "the command did not end within " + Seconds(timeout)
                 : state == kConnecting ? "no connection within " + Seconds(timeout)
                                        : "no answer within " + Seconds(timeout));
  }
  return outcome;
}

HealthCheck::Outcome HealthCheck::_StepExec() {
  int status = 0;
  pid_t waited;
  do {
    waited = waitpid(child, &status, WNOHANG);
  } while (waited < 0 && errno == EINTR);
  if (waited != child) {
    return kPending;
  }
  child = -1;
  state = kIdle;
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
    return kHealthy;
  }
  why = WIFEXITED(status) ? "the command exited " + std::to_string(WEXITSTATUS(status))
                          : "the command was ended by signal " + std::to_string(WTERMSIG(status));
  return kUnhealthy;
}

HealthCheck::Outcome HealthCheck::_StepSocket() {
  for (;;) {
    pollfd ready{fd, Events(), 0};
    if (poll(&ready, 1, 0) <= 0) {
      return kPending;
    }
    if (state == kConnecting) {
      int error = 0;
      socklen_t length = sizeof error;
      if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
        error = errno;
      }
      if (error != 0) {
        why = "cannot connect: " + SystemError::Text(error);
        if (!_ConnectNext()) {
          return _Fail(why);
        }
        continue;
      }
      if (target.kind == kTcp) {
        _Cancel();
        return kHealthy;
      }
      state = kSending;
    } else if (state == kSending) {
      const ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        return kPending;
      }
      if (n < 0) {
        return _Fail("cannot send the request: " + SystemError::Text(errno));
      }
      sent += static_cast<size_t>(n);
      if (sent == request.size()) {
        state = kReading;
      }
    } else {
      char buffer[1024];
      const size_t room = kMaxAnswer - answer.size();
      const ssize_t n = recv(fd, buffer, room < sizeof buffer ? room : sizeof buffer, 0);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        return kPending;
      }
      if (n < 0) {
        return _Fail("cannot read the answer: " + SystemError::Text(errno));
      }
      answer.append(buffer, static_cast<size_t>(n));
      const Outcome verdict = _Judge(n == 0);
      if (verdict != kPending) {
        return verdict;
      }
    }
  }
}

HealthCheck::Outcome HealthCheck::_Judge(bool ended) {
  const size_t end = answer.find('\n');
  if (end == std::string::npos && !ended && answer.size() < kMaxAnswer) {
    return kPending;
  }
  if (answer.empty()) {
    return _Fail("the server closed the connection without an answer");
  }
  std::string line = answer.substr(0, end);
  if (!line.empty() && line.back() == '\r') {
    line.pop_back();
  }
  const int code = StatusCode(line);
  if (code < 0) {
    return _Fail("the answer does not start with an HTTP status line");
  }
  if (code >= 200 && code <= 399) {
    _Cancel();
    return kHealthy;
  }
  return _Fail("the server answered " + std::to_string(code));
}
