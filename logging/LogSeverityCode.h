// LogSeverityCode: the severity scale of log records, and every fixed way a
// severity is shown: the level letter of filters and masks, the record's
// severity character, the console prefix, the syslog severity, the default
// message code and the name. Each function accepts any int; a value outside
// the scale is shown as NoSeverity is.
//
// Constants only: safe for concurrent use.
#ifndef VIGILD_LOGGING_LOGSEVERITYCODE_H
#define VIGILD_LOGGING_LOGSEVERITYCODE_H

enum LogSeverityCode {
  Fatal = 0,
  Error,
  Warning,
  Info,
  Debug1,
  Debug2,
  Debug3,
  Debug4,
  Debug5,
  Debug6,
  Debug7,
  Debug8,
  NoSeverity
};

// Letter that names the severity in filter texts ('F', 'W', 'I', '1'..'8');
// '\0' for Fatal (always accepted, never named) and for NoSeverity.
char LogSeverityLevelLetter(int severity);

// The record's severity character: 'F', 'W', 'I', '1'..'4' (every debug level
// from Debug4 down shares '4'), '?' otherwise.
char LogSeverityChar(int severity);

// Eight characters, blank padded, for the console line. Warning reads
// "ERRMaj: " and Info "Warning:": the console keeps its historical labels.
const char* LogSeverityConsolePrefix(int severity);

// Severity part of a syslog priority: 1, 4, 6 or 7.
int LogSeveritySyslog(int severity);

// Code a record gets when its creator names none: "DL30001", "DL30002",
// "DL30003" for Fatal/Error, Warning, Info; empty otherwise.
const char* LogSeverityDefaultCode(int severity);

// The enumerator's own name ("Fatal" ... "Debug8", "NoSeverity").
const char* LogSeverityName(int severity);

#endif  // VIGILD_LOGGING_LOGSEVERITYCODE_H
