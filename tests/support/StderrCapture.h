// StderrCapture: redirects file descriptor 2 into a temporary file from
// construction until Stop() (or destruction), so that tests can read what the
// code under test wrote to the standard error stream, from any thread.
// One capture at a time in a process; the owning test uses it.
#ifndef VIGILD_TESTS_SUPPORT_STDERRCAPTURE_H
#define VIGILD_TESTS_SUPPORT_STDERRCAPTURE_H

#include <string>

class StderrCapture {
 public:
  StderrCapture();
  ~StderrCapture();
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;

  // Restores descriptor 2 and returns everything written while capturing.
  // Later calls return the same text.
  std::string Stop();

 private:
  int savedFd_;
  int captureFd_;
  bool stopped_;
  std::string text_;
};

// Number of open descriptors of this process (entries of /proc/self/fd).
int CountOpenDescriptors();

#endif  // VIGILD_TESTS_SUPPORT_STDERRCAPTURE_H
