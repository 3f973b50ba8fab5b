// LogOnceCounters: how many times the log server has seen each message text
// of its once-messages, keyed by the text's checksum, so that a record that
// repeats endlessly is printed only at a few counts.
//
// Owned by the log server. Safe for concurrent use: the counts are guarded
// by onceMutex.
#ifndef VIGILD_LOGGING_LOGONCECOUNTERS_H
#define VIGILD_LOGGING_LOGONCECOUNTERS_H

#include <map>

#include "TaskMutex.h"

class LogOnceCounters {
 public:
  LogOnceCounters() = default;
  LogOnceCounters(const LogOnceCounters&) = delete;
  LogOnceCounters& operator=(const LogOnceCounters&) = delete;

  // Counts one more occurrence of text and returns the count (1 the first
  // time).
  int Count(const char* text);
  void Reset();

 private:
  TaskMutex onceMutex;                   // guards onceCounters
  std::map<unsigned, int> onceCounters;  // checksum of a text -> times seen
};

// The POSIX cksum CRC of text: CRC-32 (0x04C11DB7, most significant bit
// first, no reflection) of the bytes and then of the length, least
// significant byte first, inverted. "abc" gives 1219131554, "" 4294967295;
// null reads as "".
unsigned checksumFromBuffer(const char* text);

#endif  // VIGILD_LOGGING_LOGONCECOUNTERS_H
