#include "FakeServiceManager.h"

#include <sys/un.h>

#include "TestCommon.h"

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

FakeServiceManager::~FakeServiceManager() {
  done = true;
  if (thread.joinable()) {
    thread.join();
  }
  if (fd >= 0) {
    close(fd);
  }
}

void FakeServiceManager::_Receive() {
  while (!done) {
    pollfd ready{fd, POLLIN, 0};
    if (poll(&ready, 1, 20) <= 0) {
      continue;
    }
    char buffer[4096];
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n >= 0) {
      std::lock_guard<std::mutex> hold(mutex);
      messages.push_back({std::string(buffer, static_cast<size_t>(n)), NowMs()});
    }
  }
}

std::vector<FakeServiceManager::Message> FakeServiceManager::Messages() {
  std::lock_guard<std::mutex> hold(mutex);
  return messages;
}

std::string FakeServiceManager::Texts() {
  std::string all;
  for (const Message& message : Messages()) {
    all += message.text + "\n";
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
