// SystemError: turns an errno value into the C library's words, for messages
// about failed system calls outside the process launcher (which keeps its own
// copy next to code that must not allocate after fork).
//
// No objects: nothing is owned. Safe for concurrent use (strerror_r).
#ifndef VIGILD_UTILS_SYSTEMERROR_H
#define VIGILD_UTILS_SYSTEMERROR_H

#include <string>

class SystemError {
 public:
  // "Connection refused" for ECONNREFUSED; "Unknown error N" for a number
  // the library does not know.
  static std::string Text(int error);
};

#endif  // VIGILD_UTILS_SYSTEMERROR_H
