// LogMessage: one log record: severity, message code, source name, time and
// the text written into it through its LogStream base. The record also splits
// its text into a tag ("[Routine::Name]") and a message on demand, for the
// devices that print them in separate columns.
//
// Created on the heap and owned jointly by the Handle<LogMessage> copies that
// carry it through the log server. One thread at a time: the creator fills
// it, then the thread that drains the server's queue reads it; the first
// getErrorString/getErrorMessage caches the split and must not race another;
// the log server escapes a record's control bytes before any device, queue
// or repeater sees it.
#ifndef VIGILD_LOGGING_LOGMESSAGE_H
#define VIGILD_LOGGING_LOGMESSAGE_H

#include <string>

#include "LogSeverityCode.h"
#include "LogStream.h"
#include "RefCounter.h"
#include "Timestamp.h"

class LogMessage : public LogStream, public RefCounter {
 public:
  // Time now, facility "UNDEF", the severity's default code.
  explicit LogMessage(LogSeverityCode logSeverity);
  // As above with the code given (null: none), and no default.
  LogMessage(LogSeverityCode logSeverity, const char* code);
  // Every field given, the time as seconds since the epoch; null texts read
  // as empty.
  LogMessage(LogSeverityCode logSeverity, unsigned seconds, const char* sourceName,
             const char* code, const char* tag, const char* message);
  LogMessage(LogSeverityCode logSeverity, unsigned seconds, const char* sourceName, const char* tag,
             const char* message);
  ~LogMessage() override;

  // errorCode = the default code of the severity ("" below Info).
  void defaultErrCodeFromSeverity(LogSeverityCode logSeverity);

  char getSeverityChar() const;
  const char* getErrorCode() const;
  // The tag; splits the text first when no tag is known yet.
  const char* getErrorString();
  // The text without its tag. A tag set by the caller leaves the text whole
  // (newlines included); otherwise the text is split first.
  const char* getErrorMessage();

  // Tag = the first "[...]" of the text ("[]" when there is none); message =
  // the text around it, without the blanks and colons that follow the tag
  // and without any newline.
  void ExpandBufferToMessages();

  // Splits the text when that is still to do, then writes every byte below
  // 0x20 and 0x7f of the facility, tag and message as "\xHH" (TAB and line
  // breaks included), so that no output device passes a terminal escape, a
  // forged line or a false field separator on from whatever a client sent.
  // Idempotent: the escaped form holds no such byte.
  void EscapeControlBytes();
  // text with those bytes written as "\xHH".
  static std::string Escaped(const std::string& text);

  std::string facility;      // "UNDEF" until the log server stamps it
  LogSeverityCode severity;  // may be re-graded by the server's repeat rule
  Timestamp time;            // creation time
  std::string errorCode;     // the DL code, or empty
  std::string errorString;   // the tag: split from the text or set by the caller
  std::string errorMessage;  // the text without the tag; empty until computed
  int channel;               // the emitting thread's channel; 0 until stamped
};

#endif  // VIGILD_LOGGING_LOGMESSAGE_H
