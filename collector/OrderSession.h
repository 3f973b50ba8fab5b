// OrderSession: the daemon's session of one client connection. Every line
// goes to the connection's order parser; a completed order block is executed
// on the table at once, on the listener's event loop, taking the table's
// lock for the one table operation. Nothing is sent back to the client.
//
// Made by the listener (through Factory) for each admitted connection and
// owned by its connection record. One thread at a time: the event loop.
#ifndef VIGILD_COLLECTOR_ORDERSESSION_H
#define VIGILD_COLLECTOR_ORDERSESSION_H

#include <memory>

#include "ClientSession.h"
#include "WatchASCIIOrder.h"

class OrderSession : public ClientSession {
 public:
  // Orders of this session act as uid (-1: unknown, no access rules apply).
  explicit OrderSession(long uid);
  ~OrderSession() override;

  // False, after logging it, when an order raised an error: that connection
  // ends and no other.
  bool Line(String& line) override;

  // The listener's factory of order sessions.
  static std::unique_ptr<ClientSession> Make(long uid);

 private:
  WatchASCIIOrder order;
};

#endif  // VIGILD_COLLECTOR_ORDERSESSION_H
