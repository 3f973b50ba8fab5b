// LogDeviceUDP: the log server's datagram output. Each record becomes one
// syslog-style datagram to a remote collector: "<priority>", the UTC time,
// then the facility, severity character, "[code]", tag and message separated
// by tabs. A datagram longer than 2047 characters is cut (unless
// "DIAG.LOG.ALLOWLONGLINES" is set) and newlines become blanks, so that a
// record is always one line at the collector.
//
// Owned by the log server. Safe for concurrent use once Init has returned:
// each record is one sendto, and the records themselves are serialised by
// the server.
#ifndef VIGILD_LOGGING_LOGDEVICEUDP_H
#define VIGILD_LOGGING_LOGDEVICEUDP_H

#include <string>

#include "LogDevice.h"
#include "UDPCnx.h"

class LogDeviceUDP : public LogDevice {
 public:
  // The syslog user facility (1 << 3).
  static constexpr int kDefaultFacility = 8;

  LogDeviceUDP();
  ~LogDeviceUDP() override = default;

  // Aims the device at server:port with facility ORed into every priority.
  // Always true: a server that cannot be reached gives a device whose
  // records are silently not sent.
  bool Init(const char* server, const unsigned short port, const unsigned facility);
  void setFacilityNumber(const int facility) { facilityCode = facility; }

  // Syslog severity of the record ORed with the facility.
  unsigned sysLogSeverityCode(Handle<LogMessage>& record) const;

  // Sends the record; always true, a lost datagram is not the server's
  // business.
  bool ProcessMessage(Handle<LogMessage>& record, bool flush) override;

 private:
  // The datagram for record, length rule and newline rule applied.
  std::string _FormatPayload(Handle<LogMessage>& record) const;

  UDPCnx connection;
  int facilityCode;  // written by Init and setFacilityNumber before use
};

#endif  // VIGILD_LOGGING_LOGDEVICEUDP_H
