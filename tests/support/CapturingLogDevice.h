// CapturingLogDevice: a log device for tests that keeps a copy of every
// record it is given (and whether it was asked to flush), in arrival order.
// The device is owned by the log server it is installed in; its records are
// shared with the test and outlive it. Safe for concurrent use.
#ifndef VIGILD_TESTS_SUPPORT_CAPTURINGLOGDEVICE_H
#define VIGILD_TESTS_SUPPORT_CAPTURINGLOGDEVICE_H

#include <condition_variable>

#include "LogDevice.h"
#include "TestCommon.h"

class LogServer;

class CapturingLogDevice : public LogDevice {
 public:
  // One record as the device saw it.
  struct Captured {
    int severity;
    std::string code, tag, message, facility;
    int channel;
    bool flush;
  };

  // The records captured so far, shared with the device.
  class Log {
   public:
    std::vector<Captured> Records() const;
    // The messages of the records of one severity, or of all (-1), in order.
    std::vector<std::string> Messages(int severity = -1) const;
    size_t Count() const;
    // Waits until at least count records arrived; false after timeoutMs.
    bool WaitForCount(size_t count, int timeoutMs) const;
    void Clear();
    void Add(const Captured& record);

   private:
    mutable std::mutex mutex;  // guards records
    mutable std::condition_variable arrived;
    std::vector<Captured> records;
  };

  CapturingLogDevice();
  bool ProcessMessage(Handle<LogMessage>& record, bool flush) override;
  std::shared_ptr<Log> log() const { return log_; }

  // Makes a device, sets it as server's console output and returns its log.
  static std::shared_ptr<Log> Install(LogServer* server);

 private:
  std::shared_ptr<Log> log_;  // constant after construction
};

#endif  // VIGILD_TESTS_SUPPORT_CAPTURINGLOGDEVICE_H
