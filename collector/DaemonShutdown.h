// DaemonShutdown: the end of main's normal and error paths. It stops the
// listener, whose event loop closes every client connection as it ends, then
// destroys the listener and the table. A loop that does not end in time (an
// order waiting for the table) still uses both, so they are left alone and
// the process ends right there, with the status of the path that got there,
// once the log is drained.
//
// Static functions only; main owns the objects it is given. Called by main's
// thread alone.
#ifndef VIGILD_COLLECTOR_DAEMONSHUTDOWN_H
#define VIGILD_COLLECTOR_DAEMONSHUTDOWN_H

#include <unistd.h>

#include "ListenPort.h"

class WatchedList;

class DaemonShutdown {
 public:
  using ExitFunction = void (*)(int);
  // How long the log may take to drain when the process ends early.
  static constexpr int kLogDrainMs = 1000;

  // Destroys port and list (both may be null) and sets them, and the table's
  // published pointer, to null; returns 1. When the listener's loop is still
  // running after drainMs, drains the log and calls exitNow(status) instead
  // (the daemon's is _exit); returns 0 if exitNow returns.
  static int Run(ListenPort*& port, WatchedList*& list, int status,
                 unsigned drainMs = ListenPort::kStopWaitMs, ExitFunction exitNow = _exit);
};

#endif  // VIGILD_COLLECTOR_DAEMONSHUTDOWN_H
