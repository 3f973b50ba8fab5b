// ClientContext: what the listener hands to the client routine for one
// accepted connection: the listener that accepted it and the connection,
// already established as incoming with the peer's address and port, and
// the user its orders act as (-1 when no access policy applies).
//
// Allocated on the heap by the accept loop; from the moment the client thread
// starts, the client routine owns it and deletes it. The routine calls
// owner->ClientEnded(uid) as the last thing it does with the listener. One thread
// at a time: the accept loop until the thread starts, the client routine after.
#ifndef VIGILD_COLLECTOR_CLIENTCONTEXT_H
#define VIGILD_COLLECTOR_CLIENTCONTEXT_H

#include "Cnx.h"

class ListenPort;

struct ClientContext {
  ListenPort* owner = nullptr;
  long uid = -1;
  Cnx connection;
};

#endif  // VIGILD_COLLECTOR_CLIENTCONTEXT_H
