// WatchMgrDaemon: the pieces of the vigild entry that main strings together:
// the version and usage answers,
// the start of the listener, and the per-client routine that reads order lines
// and hands them to the order protocol. The class itself keeps the set of
// client sockets being served, so that the daemon's clean-up can wake their
// threads and wait for them before it destroys what they use.
//
// No objects: static functions and free functions only; main owns the
// listener and the table. Safe for concurrent use: the client set is guarded
// by its own mutex, and each client routine touches only its own connection.
#ifndef VIGILD_COLLECTOR_WATCHMGRDAEMON_H
#define VIGILD_COLLECTOR_WATCHMGRDAEMON_H

class ListenPort;

class WatchMgrDaemon {
 public:
  // How often, and how far apart, InitializeListenner looks for a running
  // accept loop (at most 15 s in all).
  static constexpr int kListenerChecks = 10;
  static constexpr unsigned kListenerCheckDelayMs = 1500;
  // Bytes of a client routine's line buffer, its terminating zero included;
  // a longer line reaches the order parser in pieces.
  static constexpr int kLineBufferSize = 31744;
  // Seconds one read waits for a line, and the silence after which a client
  // is dropped (checked after a read time-out, so a silent client normally
  // goes after the second time-out).
  static constexpr int kReadTimeoutSeconds = 60;
  static constexpr int kMuteLimitSeconds = 60;
  // How long the clean-up waits for woken client threads to end.
  static constexpr unsigned kClientDrainMs = 5000;

  // Records socket as served by the calling client routine; returns the
  // handle (a duplicate of the socket that the set owns) to forget it by,
  // -1 when it could not be recorded. UntrackClient closes the handle.
  static int TrackClient(int socket);
  static void UntrackClient(int handle);
  // Shuts down every served socket, so that each client routine's read
  // returns and the routine ends; then waits (up to kClientDrainMs) until the
  // listener's clientCount is 0. 1 when every client routine has ended.
  static int DisconnectClients(ListenPort* port, unsigned waitMs = kClientDrainMs);
};

// Writes the build version block to stdout; returns that routine's result.
int showVersion();
// Writes the usage text to stdout; returns 1.
int showUsage();
// Opens the listener on portNumber with WatchMgrProcessConnection as client
// routine, starts its accept loop and waits until it accepts connections.
// 1 when it does, 0 otherwise.
int InitializeListenner(ListenPort* port, int portNumber);
// The client routine: argument is the ClientContext the listener allocated,
// which this routine owns. Reads lines until the peer leaves, the read fails
// or the client stays silent too long, and executes every complete order.
// Nothing is ever written back to the client.
void WatchMgrProcessConnection(void* argument);

#endif  // VIGILD_COLLECTOR_WATCHMGRDAEMON_H
