#include "LogDeviceUDP.h"

#include <algorithm>

#include "LogSeverityCode.h"
#include "Timestamp.h"

LogDeviceUDP::LogDeviceUDP() : facilityCode(kDefaultFacility) {}

bool LogDeviceUDP::Init(const char* server, const unsigned short port, const unsigned facility) {
  connection.Establish(server, port);
  setFacilityNumber(static_cast<int>(facility));
  return true;
}

unsigned LogDeviceUDP::sysLogSeverityCode(Handle<LogMessage>& record) const {
  return static_cast<unsigned>(LogSeveritySyslog(record->severity) | facilityCode);
}

std::string LogDeviceUDP::_FormatPayload(Handle<LogMessage>& record) const {
  // Printing fills the time's calendar cache: print a copy, as another
  // device may be reading the record.
  Timestamp when(record->time);
  char timeText[Timestamp::kPrintBufferSize];
  when.PrintGMTVex(timeText);

  std::string payload = "<" + std::to_string(sysLogSeverityCode(record)) + ">";
  payload += timeText;
  payload += " UTC \t";
  payload += record->facility;
  payload += '\t';
  payload += record->getSeverityChar();
  payload += '\t';
  const char* code = record->getErrorCode();
  if (code[0] != '\0') {
    payload += '[';
    payload += code;
    payload += ']';
  }
  payload += '\t';
  payload += record->getErrorString();
  payload += '\t';
  payload += record->getErrorMessage();

  ApplyLengthRule(payload);
  std::replace(payload.begin(), payload.end(), '\n', ' ');
  return payload;
}

bool LogDeviceUDP::ProcessMessage(Handle<LogMessage>& record, bool /*flush*/) {
  if (record.IsNull()) {
    return true;
  }
  connection.SendTo(_FormatPayload(record).c_str());
  return true;
}
