// LogDeviceConsole: the log server's console output. Each record becomes one
// human-readable line: "[" local time "] ", "(ch=N) " for a mapped channel,
// the eight-character severity prefix, the tag, a tab and the message.
// Fatal, Error and Warning records go to standard error, the others to
// standard output. Lines go through a ConsoleWriter per stream, so a console
// nobody reads never holds up the caller, and a stuck standard output never
// holds back the errors: lines beyond a queue are dropped and counted, and
// the count is reported once that stream takes output again.
//
// Owned by the log server. Safe for concurrent use: each line is queued
// whole and written whole, in the order the lines of a stream were queued.
#ifndef VIGILD_LOGGING_LOGDEVICECONSOLE_H
#define VIGILD_LOGGING_LOGDEVICECONSOLE_H

#include <string>

#include "ConsoleWriter.h"
#include "LogDevice.h"

class LogDeviceConsole : public LogDevice {
 public:
  LogDeviceConsole();
  // Waits a moment for the queued lines (ConsoleWriter::kCloseWaitMs).
  ~LogDeviceConsole() override = default;

  // Queues the record's line; false when it was dropped. Console write
  // errors are not detected.
  bool ProcessMessage(Handle<LogMessage>& record, bool flush) override;
  bool Drain(int timeoutMs) override;

  // The line for record, without its newline.
  static std::string FormatLine(LogMessage& record);
  // The line reporting count dropped lines, newline included.
  static std::string DropNote(unsigned long count);

 private:
  ConsoleWriter outWriter;  // standard output
  ConsoleWriter errWriter;  // standard error
};

#endif  // VIGILD_LOGGING_LOGDEVICECONSOLE_H
