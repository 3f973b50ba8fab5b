// The count of captured log records the collector's unit tests compare with what a case should log.
#pragma once

#include "CapturingLogDevice.h"
#include "LogServer.h"
#include "TestCommon.h"

// Records whose text holds part and also, when given, once the server has written its queue.
inline size_t Logged(const CapturingLogDevice::Log& log, const std::string& part,
                     const std::string& also = "") {
  LogServer::Instance()->Flush();
  const std::vector<std::string> messages = log.Messages();
  return std::count_if(messages.begin(), messages.end(), [&](const std::string& message) {
    return message.find(part) != std::string::npos && message.find(also) != std::string::npos;
  });
}
