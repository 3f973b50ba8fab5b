#include "StderrCapture.h"

#include <dirent.h>

#include <iostream>

#include "TestCommon.h"

namespace {

// Pushes out whatever the C and C++ streams still buffer, so that it lands
// on the descriptor it was meant for.
void FlushStandardStreams() {
  std::cout.flush();
  std::cerr.flush();
  fflush(nullptr);
}

}  // namespace

StderrCapture::StderrCapture(int fd) : fd_(fd), savedFd_(-1), captureFd_(-1), stopped_(false) {
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
  if (stopped_) {
    return text_;
  }
  stopped_ = true;
  if (captureFd_ < 0) {
    return text_;
  }
  FlushStandardStreams();
  dup2(savedFd_, fd_);
  close(savedFd_);
  lseek(captureFd_, 0, SEEK_SET);
  char buffer[4096];
  ssize_t n;
  while ((n = read(captureFd_, buffer, sizeof buffer)) > 0) {
    text_.append(buffer, static_cast<size_t>(n));
  }
  close(captureFd_);
  return text_;
}

int CountOpenDescriptors() {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) {
    return -1;
  }
  int count = 0;
  while (struct dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') {
      ++count;
    }
  }
  closedir(dir);
  return count - 1;  // the descriptor opendir itself holds
}
