#include "LogStream.h"

#include <stdio.h>
#include <string.h>

#include <cmath>

#include "BError.h"
#include "Timestamp.h"

std::atomic<int> iLogStreamTrace{0};

namespace {

// Large enough for every 32- or 64-bit integer and its sign.
const int kIntegerBufferSize = 32;

}  // namespace

void LogStream::_Append(const char* chars, int length) {
  int room = String::kMaxLength - text.length();
  if (length > room) {
    length = room;
  }
  if (length <= 0) {
    return;
  }
  // A copy first: chars may point into text itself.
  text += String(chars, length);
}

LogStream& LogStream::operator<<(int value) {
  char buf[kIntegerBufferSize] = {0};
  snprintf(buf, sizeof buf, "%d", value);
  return append(buf);
}

LogStream& LogStream::operator<<(long value) {
  char buf[kIntegerBufferSize] = {0};
  snprintf(buf, sizeof buf, "%ld", value);
  return append(buf);
}

LogStream& LogStream::operator<<(unsigned value) {
  char buf[kIntegerBufferSize] = {0};
  snprintf(buf, sizeof buf, "%u", value);
  return append(buf);
}

LogStream& LogStream::operator<<(unsigned long value) {
  char buf[kIntegerBufferSize] = {0};
  snprintf(buf, sizeof buf, "%lu", value);
  return append(buf);
}

LogStream& LogStream::operator<<(double value) {
  char buf[kCleanPrintDoubleSize];
  int kind = 0;
  return append(cleanPrintDouble(buf, value, kind));
}

LogStream& LogStream::operator<<(char c) {
  if (c != '\0') {
    _Append(&c, 1);
  }
  return *this;
}

LogStream& LogStream::operator<<(char* chars) { return append(chars); }

LogStream& LogStream::operator<<(const char* chars) { return append(chars); }

LogStream& LogStream::operator<<(LogStream& (*manipulator)(LogStream&)) {
  return manipulator(*this);
}

LogStream& LogStream::append(const String& more) {
  _Append(more.chars(), more.length());
  return *this;
}

LogStream& LogStream::append(const char* more) {
  if (more == nullptr) {
    more = "(null)";
  }
  size_t length = strlen(more);
  _Append(more, length > static_cast<size_t>(String::kMaxLength) ? String::kMaxLength
                                                                 : static_cast<int>(length));
  return *this;
}

LogStream& operator<<(LogStream& stream, const String& value) { return stream.append(value); }

LogStream& operator<<(LogStream& stream, const std::string& value) {
  return stream.append(value.c_str());
}

LogStream& operator<<(LogStream& stream, const LogStream& other) {
  return stream.append(other.text);
}

LogStream& operator<<(LogStream& stream, const Timestamp& time) {
  // Printing fills the calendar cache of the value it prints.
  Timestamp copy(time);
  char buf[Timestamp::kPrintBufferSize];
  copy.PrintLong(buf);
  return stream.append(buf);
}

LogStream& operator<<(LogStream& stream, const BError& error) {
  String message;
  return stream.append(error.GetMsg(message));
}

LogStream& endl(LogStream& stream) { return stream.append("\n"); }

char* cleanPrintDouble(char* buf, double value, int& kind) {
  kind = 2;
  // The digit search below never settles on NaN and printf spells these
  // differently across libraries: name them once here.
  if (std::isnan(value)) {
    snprintf(buf, kCleanPrintDoubleSize, "nan");
    return buf;
  }
  if (std::isinf(value)) {
    snprintf(buf, kCleanPrintDoubleSize, value > 0 ? "inf" : "-inf");
    return buf;
  }
  if (value == 0.0) {
    value = 0.0;  // no "-0"
  }
  int limit = 8;
  if (value > -0.00001 && value < 0.00001) {
    limit = 12;
    if (value > -0.000000001 && value < 0.000000001) {
      limit = 16;
    }
  }
  int decimals = 0;
  while (decimals < limit) {
    double scaled = value * std::pow(10.0, decimals);
    if (scaled == std::floor(scaled)) {
      break;
    }
    decimals++;
  }
  snprintf(buf, kCleanPrintDoubleSize, "%.*f", decimals, value);
  if (decimals == 0 && value <= 4294967295.0) {
    kind = 1;
  }
  return buf;
}

int SetTraceLevel(int level) {
  iLogStreamTrace.store(level, std::memory_order_relaxed);
  return 1;
}

int GetTraceLevel() { return iLogStreamTrace.load(std::memory_order_relaxed); }
