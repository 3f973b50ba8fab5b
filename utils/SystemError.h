// SystemError: turns an errno value into the C library's words, for messages
// about failed system calls. The one place where that happens (it allocates,
// so it is never called between fork and exec).
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
