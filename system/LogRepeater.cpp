#include "LogRepeater.h"

#include "CriticalSection.h"

LogRepeater::LogRepeater() : callback(nullptr), active(false) {}

LogRepeater::~LogRepeater() = default;

bool LogRepeater::setMessageCallback(Callback newCallback, const Cnx& newConnection,
                                     const String& newContext) {
  if (newCallback == nullptr) {
    return false;
  }
  CriticalSection lock(&callMutex);
  callback = newCallback;
  connection = newConnection;
  context = newContext;
  // Nothing else could ever arm a repeater, and one that stays unarmed is
  // dropped by the server at its first record.
  active = true;
  return true;
}

bool LogRepeater::ProcessMessage(Handle<LogMessage> record) {
  CriticalSection lock(&callMutex);
  if (!active || callback == nullptr) {
    return false;
  }
  const bool forwarded = callback(record, connection, context);
  if (!forwarded) {
    active = false;
  }
  return forwarded;
}
