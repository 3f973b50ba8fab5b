// The captured log of the collector's unit tests: a fixture that installs it, and the count of
// records a case compares with what it should log.
#pragma once

#include "CapturingLogDevice.h"
#include "LogServer.h"
#include "TestCommon.h"

// A fixture whose log records are captured; the log server ends with each test.
class LoggingTest : public ::testing::Test {
 protected:
  void TearDown() override { LogServer::DeleteInstance(); }
  std::shared_ptr<CapturingLogDevice::Log> log = CapturingLogDevice::Install(LogServer::Instance());
};

// Records whose text holds part and also, when given, once the server has written its queue.
inline size_t Logged(const CapturingLogDevice::Log& log, const std::string& part,
                     const std::string& also = "") {
  LogServer::Instance()->Flush();
  const std::vector<std::string> messages = log.Messages();
  return std::count_if(messages.begin(), messages.end(), [&](const std::string& message) {
    return message.find(part) != std::string::npos && message.find(also) != std::string::npos;
  });
}
