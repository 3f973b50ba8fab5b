// StderrCapture: redirects file descriptor 2 (or another standard descriptor)
// into a temporary file from construction until Stop() (or destruction), so
// that tests can read what the code under test wrote to the standard error
// stream, from any thread. StdoutCapture does the same for descriptor 1.
// One capture per descriptor at a time in a process; the owning test uses it.
#ifndef VIGILD_TESTS_SUPPORT_STDERRCAPTURE_H
#define VIGILD_TESTS_SUPPORT_STDERRCAPTURE_H

#include "TestCommon.h"

class StderrCapture {
 public:
  explicit StderrCapture(int fd = 2);
  ~StderrCapture();
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;

  // Restores the descriptor and returns everything written while capturing,
  // the same text on every later call.
  std::string Stop();

 private:
  const int fd_;
  int savedFd_ = -1, captureFd_ = -1;
  bool stopped_ = false;
  std::string text_;
};

class StdoutCapture : public StderrCapture {
 public:
  StdoutCapture() : StderrCapture(1) {}
};

// Everything read from fd until its end (or a failed read).
std::string ReadToEnd(int fd);
// Number of open descriptors of process pid (0: this one), the entries of /proc/<pid>/fd.
int CountOpenDescriptors(pid_t pid = 0);

#endif  // VIGILD_TESTS_SUPPORT_STDERRCAPTURE_H
