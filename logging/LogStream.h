// LogStream: the text builder behind every log record. Callers write numbers,
// characters and texts into it with <<; the text only grows, and stops
// growing silently at String's limit of 65535 characters.
//
// A value owned by whoever built it (for a record, the record's handles).
// One thread at a time; the owner locks. The trace level is an atomic and
// safe for concurrent use.
#ifndef VIGILD_LOGGING_LOGSTREAM_H
#define VIGILD_LOGGING_LOGSTREAM_H

#include <atomic>
#include <string>

#include "String.h"

class BError;
class Timestamp;

class LogStream {
 public:
  LogStream() = default;

  LogStream& operator<<(int value);
  LogStream& operator<<(long value);
  LogStream& operator<<(unsigned value);
  LogStream& operator<<(unsigned long value);
  LogStream& operator<<(double value);
  // A NUL character appends nothing: the text is a C string.
  LogStream& operator<<(char c);
  // A null pointer appends "(null)", so a missing text shows in the record.
  LogStream& operator<<(char* chars);
  LogStream& operator<<(const char* chars);
  // Applies a manipulator such as endl.
  LogStream& operator<<(LogStream& (*manipulator)(LogStream&));

  LogStream& append(const String& more);
  LogStream& append(const char* more);

  const String& getText() const { return text; }

  // Public so that the log server may re-text a record it repeats.
  String text;

 private:
  void _Append(const char* chars, int length);
};

LogStream& operator<<(LogStream& stream, const String& value);
LogStream& operator<<(LogStream& stream, const std::string& value);
LogStream& operator<<(LogStream& stream, const LogStream& other);
// The long form of Timestamp::PrintLong.
LogStream& operator<<(LogStream& stream, const Timestamp& time);
// The text of BError::GetMsg.
LogStream& operator<<(LogStream& stream, const BError& error);

// Appends "\n".
LogStream& endl(LogStream& stream);

// Bytes a cleanPrintDouble buffer must hold: the longest double prints 309
// digits, a sign and at most 16 decimals.
constexpr int kCleanPrintDoubleSize = 400;

// Writes value in the shortest fixed-point form that shows it (at most 8
// decimals; 12 below 1e-5, 16 below 1e-9 in magnitude) into buf, which
// must hold kCleanPrintDoubleSize bytes, and returns buf. kind is 1 when
// the text has no decimals and the value is at most 4294967295, else 2.
// NaN and infinities print "nan", "inf", "-inf" with kind 2.
char* cleanPrintDouble(char* buf, double value, int& kind);

// Process-wide trace level, 0 at start: at 1 or more the logging and network
// code write a few progress lines on standard output.
extern std::atomic<int> iLogStreamTrace;
// Returns 1.
int SetTraceLevel(int level);
int GetTraceLevel();

#endif  // VIGILD_LOGGING_LOGSTREAM_H
