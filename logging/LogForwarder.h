// LogForwarder: a receiver of every record the log server delivers, called
// after the devices. The server knows its receivers only through this
// interface, so that a receiver may forward records over a TCP connection
// (LogRepeater) while the connection classes themselves log through the
// server.
//
// Held through Handle<LogForwarder>; the server's list holds one handle.
// ProcessMessage may be called from several threads (the caller in
// synchronous mode, the log thread or a flushing thread when queued): an
// implementation serialises its own calls.
#ifndef VIGILD_LOGGING_LOGFORWARDER_H
#define VIGILD_LOGGING_LOGFORWARDER_H

#include "Handle.h"
#include "LogMessage.h"
#include "RefCounter.h"

class LogForwarder : public RefCounter {
 public:
  // False makes the server drop this receiver.
  virtual bool ProcessMessage(Handle<LogMessage> record) = 0;
};

#endif  // VIGILD_LOGGING_LOGFORWARDER_H
