#include "FakeServiceManager.h"

#include <sys/un.h>

#include "TestSockets.h"

FakeServiceManager::FakeServiceManager(const std::string& where) : path(where) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) {
    return;
  }
  path.copy(address.sun_path, path.size());
  socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size());
  if (path[0] == '@') {
    address.sun_path[0] = '\0';
  } else {
    unlink(path.c_str());
    ++length;
  }
  fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) {
    close(fd);
    fd = -1;
  }
  if (fd >= 0) {
    thread = std::thread([this] { _Receive(); });
  }
}

FakeServiceManager::FakeServiceManager() : fd(ListenOnLoopback(&port)) {
  thread = std::thread([this] { _Receive(); });
}

FakeServiceManager::~FakeServiceManager() {
  done = true;
  if (thread.joinable()) {
    thread.join();
  }
  if (fd >= 0) {
    close(fd);
  }
}

// ready[0] is the socket itself, the others a listener's connections.
void FakeServiceManager::_Receive() {
  std::vector<pollfd> ready{{fd, POLLIN, 0}};
  while (!done) {
    if (poll(ready.data(), ready.size(), 20) <= 0) {
      continue;
    }
    // Backwards, so that erasing a closed connection skips none.
    for (size_t i = ready.size(); i-- > 0;) {
      if (ready[i].revents == 0 || (i == 0 && port != 0)) {
        continue;
      }
      char buffer[4096];
      const ssize_t n = recv(ready[i].fd, buffer, sizeof buffer, 0);
      if (n > 0 || (n == 0 && i == 0)) {
        std::lock_guard<std::mutex> hold(mutex);
        messages.push_back({std::string(buffer, static_cast<size_t>(n)), NowMs()});
      } else if (i > 0) {
        close(ready[i].fd);
        ready.erase(ready.begin() + static_cast<long>(i));
      }
    }
    if (port != 0 && (ready[0].revents & POLLIN) != 0) {
      ready.push_back({accept4(fd, nullptr, nullptr, SOCK_CLOEXEC), POLLIN, 0});
    }
  }
  for (size_t i = 1; i < ready.size(); ++i) {
    close(ready[i].fd);
  }
}

std::vector<FakeServiceManager::Message> FakeServiceManager::Messages() {
  std::lock_guard<std::mutex> hold(mutex);
  return messages;
}

std::string FakeServiceManager::Texts(const std::string& separator) {
  std::string all;
  for (const Message& message : Messages()) {
    all += message.text + separator;
  }
  return all;
}

std::vector<int64_t> FakeServiceManager::Times(const std::string& text) {
  std::vector<int64_t> times;
  for (const Message& message : Messages()) {
    if (message.text == text) {
      times.push_back(message.atMs);
    }
  }
  return times;
}

bool FakeServiceManager::WaitFor(const std::string& text, int timeoutMs) {
  return WaitUntil([&] { return !Times(text).empty(); }, timeoutMs);
}
