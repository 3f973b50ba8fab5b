// LogDevice: the abstract output of the log server. Each concrete device
// (console, dated file, UDP) writes one record per ProcessMessage call.
//
// Devices are owned by the log server, which deletes them when it replaces
// its outputs or ends. Thread safety is each device's own business: in
// queued mode the server may call one device from the log thread and from a
// flushing thread; the server serialises its own deliveries, so a device
// only needs a lock for state it shares with something else. A device must
// not log through the server: it is called with the server's delivery lock
// held.
#ifndef VIGILD_LOGGING_LOGDEVICE_H
#define VIGILD_LOGGING_LOGDEVICE_H

#include <stddef.h>

#include <string>

#include "Handle.h"
#include "LogMessage.h"

class LogDevice {
 public:
  LogDevice() = default;
  virtual ~LogDevice() = default;
  LogDevice(const LogDevice&) = delete;
  LogDevice& operator=(const LogDevice&) = delete;

  // Writes one record. flush is true when nothing more is queued behind this
  // record, so buffered output should be pushed out now. False when the
  // record could not be written.
  virtual bool ProcessMessage(Handle<LogMessage>& record, bool flush) = 0;
  // Waits, at most timeoutMs, until what the device accepted has left the
  // process. True when it has; devices that write at once have nothing left.
  virtual bool Drain(int /*timeoutMs*/) { return true; }

  // Longest line or datagram written whole, and what a longer one keeps.
  static constexpr size_t kMaxLineLength = 2047;
  static constexpr size_t kCutLength = 2043;

  // The file and UDP outputs cut the same way, so that a record reads the
  // same in both: a text longer than kMaxLineLength keeps its first
  // kCutLength characters followed by " ... (Truncated from <length>)",
  // unless "DIAG.LOG.ALLOWLONGLINES" is set in the global configuration.
  static void ApplyLengthRule(std::string& text);
};

#endif  // VIGILD_LOGGING_LOGDEVICE_H
