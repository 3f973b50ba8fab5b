// BError: the error object of the daemon. It is thrown by value when a null
// Handle is dereferenced and when start-up meets a fatal error; routines that
// pass one on add their name and rethrow, and main catches it last.
//
// A value owned by whoever holds it; one thread at a time.
#ifndef VIGILD_UTILS_BERROR_H
#define VIGILD_UTILS_BERROR_H

#include <string>

#include "String.h"

class BError {
 public:
  BError() = default;
  // A null argument counts as an empty text.
  explicit BError(const char* fromText);
  BError(const char* fromText, const char* messageText);

  // Accepted for any arguments; the object is left unchanged. Returns 1.
  int AddErrorLine(int level, const char* line);

  // out = "BError: '" + message + "',from '" + from + "'"; returns out's text,
  // valid as long as out is neither changed nor destroyed.
  const char* GetMsg(String& out) const;

  const std::string& From() const { return from; }
  const std::string& Message() const { return message; }

 private:
  std::string from;     // where the error arose
  std::string message;  // what went wrong
};

#endif  // VIGILD_UTILS_BERROR_H
