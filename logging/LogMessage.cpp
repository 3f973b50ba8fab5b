#include "LogMessage.h"

#include <algorithm>

namespace {

const char* const kUndefinedFacility = "UNDEF";

const char* TextOrEmpty(const char* text) { return text == nullptr ? "" : text; }

bool IsControlByte(char c) {
  const unsigned char byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7f;
}

}  // namespace

LogMessage::LogMessage(LogSeverityCode logSeverity)
    : facility(kUndefinedFacility), severity(logSeverity), channel(0) {
  time.SetNow();
  defaultErrCodeFromSeverity(logSeverity);
}

LogMessage::LogMessage(LogSeverityCode logSeverity, const char* code)
    : facility(kUndefinedFacility),
      severity(logSeverity),
      errorCode(TextOrEmpty(code)),
      channel(0) {
  time.SetNow();
}

LogMessage::LogMessage(LogSeverityCode logSeverity, unsigned seconds, const char* sourceName,
                       const char* code, const char* tag, const char* message)
    : facility(TextOrEmpty(sourceName)),
      severity(logSeverity),
      errorCode(TextOrEmpty(code)),
      errorString(TextOrEmpty(tag)),
      errorMessage(TextOrEmpty(message)),
      channel(0) {
  time.SetGMTCount(static_cast<long>(seconds));
}

LogMessage::LogMessage(LogSeverityCode logSeverity, unsigned seconds, const char* sourceName,
                       const char* tag, const char* message)
    : LogMessage(logSeverity, seconds, sourceName, LogSeverityDefaultCode(logSeverity), tag,
                 message) {}

LogMessage::~LogMessage() = default;

void LogMessage::defaultErrCodeFromSeverity(LogSeverityCode logSeverity) {
  errorCode = LogSeverityDefaultCode(logSeverity);
}

char LogMessage::getSeverityChar() const { return LogSeverityChar(severity); }

const char* LogMessage::getErrorCode() const { return errorCode.c_str(); }

const char* LogMessage::getErrorString() {
  if (errorString.empty()) {
    ExpandBufferToMessages();
  }
  return errorString.c_str();
}

const char* LogMessage::getErrorMessage() {
  if (errorString.empty()) {
    ExpandBufferToMessages();
  } else if (errorMessage.empty()) {
    errorMessage = text.chars();
  }
  return errorMessage.c_str();
}

void LogMessage::ExpandBufferToMessages() {
  const std::string whole(text.chars(), static_cast<size_t>(text.length()));
  const size_t open = whole.find('[');
  const size_t close = open == std::string::npos ? open : whole.find(']', open);
  std::string message;
  if (close == std::string::npos) {
    errorString = "[]";
    message = whole;
  } else {
    errorString = whole.substr(open, close - open + 1);
    const size_t rest = whole.find_first_not_of(" :", close + 1);
    message = whole.substr(0, open);
    if (rest != std::string::npos) {
      message += whole.substr(rest);
    }
  }
  errorMessage.clear();
  for (char c : message) {
    if (c != '\n') {
      errorMessage += c;
    }
  }
}

void LogMessage::EscapeControlBytes() {
  getErrorString();
  getErrorMessage();
  for (std::string* field : {&facility, &errorString, &errorMessage}) {
    // Nearly every record has nothing to escape: it keeps its strings.
    if (std::any_of(field->begin(), field->end(), IsControlByte)) {
      *field = Escaped(*field);
    }
  }
}

std::string LogMessage::Escaped(const std::string& text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    if (!IsControlByte(c)) {
      out += c;
      continue;
    }
    const unsigned char byte = static_cast<unsigned char>(c);
    out += "\\x";
    out += kHex[byte >> 4];
    out += kHex[byte & 0x0f];
  }
  return out;
}
