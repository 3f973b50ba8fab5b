#include "TestCommon.h"
#include "TestSockets.h"

bool WaitUntil(const std::function<bool()>& done, int timeoutMs, int stepMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(stepMs));
  }
  return true;
}

int FreePort() {
  int port = 0;
  close(BindLoopback(SOCK_STREAM, &port));
  return port;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

bool FullPipe(int ends[2]) {
  if (pipe2(ends, O_CLOEXEC) != 0) {
    return false;
  }
  const int size = fcntl(ends[1], F_SETPIPE_SZ, 4096);
  return size > 0 &&
         write(ends[1], std::string(static_cast<size_t>(size), '.').data(), size) == size;
}
