// LogDeviceConsole: the log server's console output. Each record becomes one
// human-readable line: "[" local time "] ", "(ch=N) " for a mapped channel,
// the eight-character severity prefix, the tag, a tab and the message.
// Fatal, Error and Warning records go to standard error, the others to
// standard output.
//
// Owned by the log server. Safe for concurrent use: each line is one stream
// insertion followed by a flush, so concurrent lines never split each other.
#ifndef VIGILD_UTILS_LOGDEVICECONSOLE_H
#define VIGILD_UTILS_LOGDEVICECONSOLE_H

#include <string>

#include "LogDevice.h"

class LogDeviceConsole : public LogDevice {
 public:
  LogDeviceConsole() = default;
  ~LogDeviceConsole() override = default;

  // Always true: console write errors are not detected.
  bool ProcessMessage(Handle<LogMessage>& record, bool flush) override;

  // The line for record, without its newline.
  static std::string FormatLine(LogMessage& record);
};

#endif  // VIGILD_UTILS_LOGDEVICECONSOLE_H
