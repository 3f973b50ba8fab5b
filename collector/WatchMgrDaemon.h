// WatchMgrDaemon: the pieces of the vigild entry that main strings together:
// the version and usage answers and the start of the listener with the
// daemon's order sessions.
//
// No objects: static constants and free functions only; main owns the
// listener and the table. Called by main's thread.
#ifndef VIGILD_COLLECTOR_WATCHMGRDAEMON_H
#define VIGILD_COLLECTOR_WATCHMGRDAEMON_H

class ListenPort;

class WatchMgrDaemon {
 public:
  // How often, and how far apart, InitializeListenner looks for a running
  // event loop (at most 15 s in all).
  static constexpr int kListenerChecks = 10;
  static constexpr unsigned kListenerCheckDelayMs = 1500;
};

// Writes the build version block to stdout; returns that routine's result.
int showVersion();
// Writes the usage text to stdout; returns 1.
int showUsage();
// Opens the listener on portNumber with order sessions for its clients,
// starts its event loop and waits until it accepts connections. 1 when it
// does, 0 otherwise.
int InitializeListenner(ListenPort* port, int portNumber);

#endif  // VIGILD_COLLECTOR_WATCHMGRDAEMON_H
