#include "CapturingLogDevice.h"

#include "LogServer.h"

std::vector<CapturingLogDevice::Captured> CapturingLogDevice::Log::Records() const {
  std::lock_guard<std::mutex> lock(mutex);
  return records;
}

std::vector<std::string> CapturingLogDevice::Log::Messages(int severity) const {
  std::vector<std::string> messages;
  for (const Captured& record : Records()) {
    if (severity == -1 || record.severity == severity) {
      messages.push_back(record.message);
    }
  }
  return messages;
}

size_t CapturingLogDevice::Log::Count() const {
  std::lock_guard<std::mutex> lock(mutex);
  return records.size();
}

bool CapturingLogDevice::Log::WaitForCount(size_t count, int timeoutMs) const {
  std::unique_lock<std::mutex> lock(mutex);
  return arrived.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                          [&] { return records.size() >= count; });
}

void CapturingLogDevice::Log::Clear() {
  std::lock_guard<std::mutex> lock(mutex);
  records.clear();
}

void CapturingLogDevice::Log::Add(const Captured& record) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    records.push_back(record);
  }
  arrived.notify_all();
}

CapturingLogDevice::CapturingLogDevice() : log_(std::make_shared<Log>()) {}

bool CapturingLogDevice::ProcessMessage(Handle<LogMessage>& record, bool flush) {
  if (!record.IsNull()) {
    log_->Add({record->severity, record->getErrorCode(), record->getErrorString(),
               record->getErrorMessage(), record->facility, record->channel, flush});
  }
  return true;
}

std::shared_ptr<CapturingLogDevice::Log> CapturingLogDevice::Install(LogServer* server) {
  CapturingLogDevice* device = new CapturingLogDevice;
  std::shared_ptr<Log> log = device->log();
  server->setConsoleDevice(device);
  return log;
}
