#include "StderrCapture.h"

#include <iostream>

#include "TestCommon.h"

// Pushes out whatever the C and C++ streams still buffer, so that it lands
// on the descriptor it was meant for.
static void FlushStandardStreams() {
  std::cout.flush();
  std::cerr.flush();
  fflush(nullptr);
}

StderrCapture::StderrCapture(int fd) : fd_(fd) {
  FlushStandardStreams();
  char name[] = "/tmp/vigild-stderr-XXXXXX";
  captureFd_ = mkstemp(name);
  if (captureFd_ >= 0) {
    unlink(name);
    savedFd_ = dup(fd_);
    dup2(captureFd_, fd_);
  }
}

StderrCapture::~StderrCapture() { Stop(); }

std::string StderrCapture::Stop() {
  if (stopped_ || captureFd_ < 0) {
    return text_;
  }
  stopped_ = true;
  FlushStandardStreams();
  dup2(savedFd_, fd_);
  close(savedFd_);
  lseek(captureFd_, 0, SEEK_SET);
  text_ = ReadToEnd(captureFd_);
  close(captureFd_);
  return text_;
}

std::string ReadToEnd(int fd) {
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) {
    text.append(buffer, static_cast<size_t>(n));
  }
  return text;
}

int CountOpenDescriptors(pid_t pid) {
  std::error_code error;  // no entries when the listing fails: -1 for this process, 0 for another
  std::filesystem::directory_iterator entries(
      "/proc/" + (pid ? std::to_string(pid) : "self") + "/fd", error);
  // Less the descriptor the listing itself holds open in this process.
  return static_cast<int>(std::distance(entries, {})) - (pid ? 0 : 1);
}
