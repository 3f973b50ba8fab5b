#include "LogDeviceConsole.h"

#include <stdio.h>

#include <iostream>

#include "LogSeverityCode.h"
#include "Timestamp.h"

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
  std::ostream& out = (severity >= Fatal && severity <= Warning) ? std::cerr : std::cout;
  out << line;
  out.flush();
  return true;
}
