// StderrLine: one line for the standard error stream, built from texts and
// decimal numbers and written, with its line end, by a single write(2) when
// the object goes out of scope. It neither allocates nor locks, so the signal
// dispatch routine may use it, and a line never interleaves with another
// thread's. Text beyond 255 characters is dropped.
//
// A temporary on the stack of the thread that writes; never shared.
#ifndef VIGILD_MULTITASK_STDERRLINE_H
#define VIGILD_MULTITASK_STDERRLINE_H

#include <stddef.h>

class StderrLine {
 public:
  StderrLine() : length_(0) {}
  ~StderrLine();
  StderrLine(const StderrLine&) = delete;
  StderrLine& operator=(const StderrLine&) = delete;

  // A null text appends nothing.
  StderrLine& operator<<(const char* text);
  StderrLine& operator<<(int number) { return _AppendNumber(number); }
  StderrLine& operator<<(unsigned number) { return _AppendNumber(number); }

 private:
  StderrLine& _AppendNumber(long long number);
  void _Append(char c);

  static constexpr size_t kCapacity = 256;  // the line end included
  char buffer_[kCapacity];
  size_t length_;
};

#endif  // VIGILD_MULTITASK_STDERRLINE_H
