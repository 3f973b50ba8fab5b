#include "VigilClient.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/time.h>
#include <unistd.h>

#include <cctype>

#include "SystemError.h"

namespace {

// The daemon closes an order block at "end" plus '.', ';' or ',' anywhere in
// a line, whatever the case.
bool HasEndMarker(const std::string& value) {
  for (size_t i = 0; i + 3 < value.size(); ++i) {
    if (tolower(static_cast<unsigned char>(value[i])) == 'e' &&
        tolower(static_cast<unsigned char>(value[i + 1])) == 'n' &&
        tolower(static_cast<unsigned char>(value[i + 2])) == 'd' &&
        (value[i + 3] == '.' || value[i + 3] == ';' || value[i + 3] == ',')) {
      return true;
    }
  }
  return false;
}

void Item(std::string& text, const char* keyword, int value) {
  if (value != -1) {
    text += std::string(keyword) + ": " + std::to_string(value) + "\n";
  }
}

}  // namespace

VigilClient::VigilClient(const std::string& daemonHost, int daemonPort, int timeout,
                         const std::string& localPath)
    : host(daemonHost), port(daemonPort), timeoutMs(timeout), socketPath(localPath) {}

VigilClient::~VigilClient() { Close(); }

void VigilClient::Close() {
  if (fd >= 0) {
    close(fd);
    fd = -1;
  }
  local = false;
}

void VigilClient::Finish() {
  if (fd < 0) {
    return;
  }
  shutdown(fd, SHUT_WR);
  // The daemon never writes: anything but its end of file is drained.
  char buffer[256];
  pollfd waiting{fd, POLLIN, 0};
  for (;;) {
    const int ready = poll(&waiting, 1, timeoutMs);
    if (ready < 0 && errno == EINTR) {
      continue;
    }
    if (ready <= 0 || recv(fd, buffer, sizeof buffer, 0) <= 0) {
      break;
    }
  }
  Close();
}

bool VigilClient::_ConnectLocal() {
  struct stat info {};
  sockaddr_un address{};
  if (socketPath.empty() || socketPath.size() >= sizeof address.sun_path ||
      stat(socketPath.c_str(), &info) != 0 || !S_ISSOCK(info.st_mode)) {
    return false;
  }
  address.sun_family = AF_UNIX;
  memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
  fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return false;
  }
  // A local connect either completes or fails at once.
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    Close();
    return false;
  }
  const timeval wait{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
  local = true;
  ++connections;
  return true;
}

std::string VigilClient::CheckText(const std::string& what, const std::string& value) {
  if (value.find_first_of(std::string("\n\r\0", 3)) != std::string::npos) {
    return what + " contains a line feed, carriage return or NUL byte";
  }
  if (HasEndMarker(value)) {
    return what + " contains \"end\" followed by '.', ';' or ',', which ends an order";
  }
  if (value.size() > kMaxText) {
    return what + " is longer than " + std::to_string(kMaxText) + " bytes";
  }
  return std::string();
}

bool VigilClient::WatchText(const WatchRequest& request, std::string* text, std::string* error) {
  std::string problem;
  if (request.pid < 1) {
    problem = "pid must be 1 or more";
  }
  const std::pair<const char*, const std::string*> fields[] = {
      {"name", &request.name}, {"start command", &request.start}, {"stop command", &request.stop}};
  for (const auto& field : fields) {
    if (problem.empty()) {
      problem = CheckText(field.first, *field.second);
    }
  }
  if (!problem.empty()) {
    if (error != nullptr) {
      *error = problem;
    }
    return false;
  }
  std::string order = "BEGINWATCH\npid: " + std::to_string(request.pid) + "\n";
  order += "psname: " + request.name + "\n";
  order += "psstart: " + request.start + "\n";
  order += "psstop: " + request.stop + "\n";
  Item(order, "wdfreq", request.wdfreq);
  Item(order, "maxwset", request.maxwset);
  Item(order, "minwset", request.minwset);
  Item(order, "wsetincr", request.wsetincr);
  Item(order, "maxerrors", request.maxerrors);
  order += "END;\n";
  *text = order;
  return true;
}

std::string VigilClient::BeatText(int pid, int wset, int nomwset, int errors) {
  return "BEGINMSG\npid: " + std::to_string(pid) + "\npswset: " + std::to_string(wset) +
         "\npsnomwset: " + std::to_string(nomwset) + "\npserrors: " + std::to_string(errors) +
         "\nEND;\n";
}

std::string VigilClient::DownText(int pid, int wset, int nomwset, int errors,
                                  const std::string& down) {
  std::string text = BeatText(pid, wset, nomwset, errors);
  text.insert(text.size() - std::string("END;\n").size(), "psdown: " + down + "\n");
  return text;
}

std::string VigilClient::ResetText(const std::string& name) {
  return "BEGINRESET\npsname: " + name + "\nEND;\n";
}

std::string VigilClient::ControlText(const std::string& order, const std::string& name) {
  return "BEGIN" + order + "\n" + (name.empty() ? std::string() : "psname: " + name + "\n") +
         "END;\n";
}

std::string VigilClient::ForgetText(int pid) {
  return "BEGINMGMT\nstop: " + std::to_string(pid) + "\nEND;\n";
}

VigilClient::Result VigilClient::Connect() {
  Close();
  if (_ConnectLocal()) {
    return kOk;
  }
  const std::string where = "cannot connect to " + host + ":" + std::to_string(port) + ": ";
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int lookup = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (lookup != 0) {
    lastError = where + gai_strerror(lookup);
    return kUnreachable;
  }
  const sockaddr_in address = *reinterpret_cast<const sockaddr_in*>(found->ai_addr);
  freeaddrinfo(found);

  fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    lastError = where + SystemError::Text(errno);
    return kUnreachable;
  }
  int error = 0;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    error = errno;
    if (error == EINPROGRESS) {
      pollfd waiting{fd, POLLOUT, 0};
      int ready;
      do {
        ready = poll(&waiting, 1, timeoutMs);
      } while (ready < 0 && errno == EINTR);
      socklen_t length = sizeof error;
      if (ready == 0) {
        error = ETIMEDOUT;
      } else if (ready < 0 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
        error = errno;
      }
    }
  }
  if (error != 0) {
    Close();
    lastError = where + SystemError::Text(error);
    return kUnreachable;
  }
  // Sends block again, with a time-out.
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  const timeval wait{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
  ++connections;
  return kOk;
}

bool VigilClient::_Broken() const {
  pollfd probe{fd, POLLIN | POLLRDHUP, 0};
  return poll(&probe, 1, 0) != 0;
}

bool VigilClient::_SendOnce(const std::string& text) {
  size_t sent = 0;
  while (sent < text.size()) {
    const ssize_t n = send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      const int error = n < 0 ? errno : EPIPE;
      lastError = "cannot send to " + host + ":" + std::to_string(port) + ": " +
                  SystemError::Text(error == EAGAIN ? ETIMEDOUT : error);
      return false;
    }
    sent += static_cast<size_t>(n);
  }
  return true;
}

VigilClient::Result VigilClient::_Send(const std::string& text) {
  if (fd >= 0 && _Broken()) {
    Close();
  }
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (fd < 0 && Connect() != kOk) {
      return kUnreachable;
    }
    if (_SendOnce(text)) {
      return kOk;
    }
    // A block cut short dies with its connection: the daemon parses each
    // connection on its own, so the whole block goes again on a new one.
    Close();
  }
  return kUnreachable;
}

VigilClient::Result VigilClient::Watch(const WatchRequest& request) {
  std::string text;
  if (!WatchText(request, &text, &lastError)) {
    return kInvalid;
  }
  return _Send(text);
}

VigilClient::Result VigilClient::Beat(int pid, int wset, int nomwset, int errors) {
  if (pid < 1) {
    lastError = "pid must be 1 or more";
    return kInvalid;
  }
  return _Send(BeatText(pid, wset, nomwset, errors));
}

VigilClient::Result VigilClient::Forget(int pid) {
  if (pid < 1) {
    lastError = "pid must be 1 or more";
    return kInvalid;
  }
  return _Send(ForgetText(pid));
}

VigilClient::Result VigilClient::Down(int pid, int wset, int nomwset, int errors,
                                      const std::string& down) {
  if (pid < 1) {
    lastError = "pid must be 1 or more";
    return kInvalid;
  }
  return _Send(DownText(pid, wset, nomwset, errors, down));
}

VigilClient::Result VigilClient::Reset(const std::string& name) {
  lastError = name.empty() ? "the name is empty" : CheckText("name", name);
  if (!lastError.empty()) {
    return kInvalid;
  }
  return _Send(ResetText(name));
}

VigilClient::Result VigilClient::Control(const std::string& order, const std::string& name) {
  lastError = name.empty() ? "the name is empty" : CheckText("name", name);
  if (!lastError.empty()) {
    return kInvalid;
  }
  return _Send(ControlText(order, name));
}

VigilClient::Result VigilClient::Reload() { return _Send(ControlText("RELOAD", std::string())); }
