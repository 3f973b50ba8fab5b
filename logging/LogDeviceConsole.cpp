#include "LogDeviceConsole.h"

#include <stdio.h>

#include <chrono>
#include <utility>

#include "LogSeverityCode.h"
#include "Timestamp.h"

LogDeviceConsole::LogDeviceConsole() : outWriter(DropNote), errWriter(DropNote) {}

std::string LogDeviceConsole::DropNote(unsigned long count) {
  LogMessage note(Warning);
  note.append("[LogDeviceConsole] WARNING : ");
  note.append(std::to_string(count).c_str());
  note.append(" console lines dropped while the console took no output");
  return FormatLine(note) + "\n";
}

std::string LogDeviceConsole::FormatLine(LogMessage& record) {
  // Printing fills the time's calendar cache, so print a copy rather than
  // write into a record another device may be reading.
  Timestamp when(record.time);
  char timeText[Timestamp::kPrintBufferSize];
  when.PrintShort(timeText);

  std::string line;
  line.reserve(64 + record.text.length());
  line += '[';
  line += timeText;
  line += "] ";
  if (record.channel > 0) {
    char channelText[32];
    snprintf(channelText, sizeof channelText, "(ch=%d) ", record.channel);
    line += channelText;
  }
  line += LogSeverityConsolePrefix(record.severity);
  line += record.getErrorString();
  line += '\t';
  line += record.getErrorMessage();
  return line;
}

bool LogDeviceConsole::ProcessMessage(Handle<LogMessage>& record, bool /*flush*/) {
  if (record.IsNull()) {
    return true;
  }
  std::string line = FormatLine(*record);
  line += '\n';
  const int severity = record->severity;
  if (severity >= Fatal && severity <= Warning) {
    return errWriter.Submit(2, std::move(line));
  }
  return outWriter.Submit(1, std::move(line));
}

bool LogDeviceConsole::Drain(int timeoutMs) {
  const auto start = std::chrono::steady_clock::now();
  const bool errorsWritten = errWriter.Drain(timeoutMs);
  const long long spent = std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::steady_clock::now() - start)
                              .count();
  const int left = spent < timeoutMs ? timeoutMs - static_cast<int>(spent) : 0;
  return outWriter.Drain(left) && errorsWritten;
}
