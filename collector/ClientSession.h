// ClientSession: what one client connection's complete lines go to. The
// listener makes one for each connection it admits, through the factory it
// was given, and destroys it when the connection ends; the daemon's session
// parses and executes orders, tests count lines.
//
// Owned by the listener's connection record. One thread at a time: the
// listener's event loop is the only caller.
#ifndef VIGILD_COLLECTOR_CLIENTSESSION_H
#define VIGILD_COLLECTOR_CLIENTSESSION_H

#include <functional>
#include <memory>

#include "String.h"

class ClientSession {
 public:
  virtual ~ClientSession() = default;
  // One complete line, without its line feed. False ends the connection.
  virtual bool Line(String& line) = 0;
};

// Makes the session of a connection admitted as acting for uid (-1: no
// access rules apply).
using SessionFactory = std::function<std::unique_ptr<ClientSession>(long uid)>;

#endif  // VIGILD_COLLECTOR_CLIENTSESSION_H
