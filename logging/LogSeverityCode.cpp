#include "LogSeverityCode.h"

namespace {

struct SeverityShape {
  const char* name;
  char levelLetter;
  char severityChar;
  const char* consolePrefix;
  int syslog;
  const char* defaultCode;
};

// Indexed by LogSeverityCode; the last row also serves every value outside
// the scale.
const SeverityShape kShapes[] = {
    {"Fatal", '\0', 'F', "FATAL:  ", 1, "DL30001"},  {"Error", 'F', 'F', "FATAL:  ", 1, "DL30001"},
    {"Warning", 'W', 'W', "ERRMaj: ", 4, "DL30002"}, {"Info", 'I', 'I', "Warning:", 6, "DL30003"},
    {"Debug1", '1', '1', "Dbg=1:  ", 7, ""},         {"Debug2", '2', '2', "Dbg=2:  ", 7, ""},
    {"Debug3", '3', '3', "Dbg=3:  ", 7, ""},         {"Debug4", '4', '4', "Dbg=4:  ", 7, ""},
    {"Debug5", '5', '4', "Dbg=4:  ", 7, ""},         {"Debug6", '6', '4', "Dbg=4:  ", 7, ""},
    {"Debug7", '7', '4', "Dbg=4:  ", 7, ""},         {"Debug8", '8', '4', "Dbg=4:  ", 7, ""},
    {"NoSeverity", '\0', '?', "????:   ", 7, ""},
};

const SeverityShape& ShapeOf(int severity) {
  if (severity < Fatal || severity > NoSeverity) {
    return kShapes[NoSeverity];
  }
  return kShapes[severity];
}

}  // namespace

char LogSeverityLevelLetter(int severity) { return ShapeOf(severity).levelLetter; }

char LogSeverityChar(int severity) { return ShapeOf(severity).severityChar; }

const char* LogSeverityConsolePrefix(int severity) { return ShapeOf(severity).consolePrefix; }

int LogSeveritySyslog(int severity) { return ShapeOf(severity).syslog; }

const char* LogSeverityDefaultCode(int severity) { return ShapeOf(severity).defaultCode; }

const char* LogSeverityName(int severity) { return ShapeOf(severity).name; }
