// ReloadSignal: SIGHUP asks the program keeper to read the program files
// again. As with the stop signals, no handler runs in signal context: main
// blocks SIGHUP before any thread exists, and a watcher thread of its own
// takes it with sigwait and queues the reload.
//
// Static functions only. The watcher is started by main (Start) and ends
// with the process. Safe for concurrent use: the keeper is published
// through an atomic pointer.
#ifndef VIGILD_COLLECTOR_RELOADSIGNAL_H
#define VIGILD_COLLECTOR_RELOADSIGNAL_H

class ProgramKeeper;

class ReloadSignal {
 public:
  // Blocks SIGHUP in the calling thread; main calls it before any thread is
  // started.
  static void Block();
  // Starts the watcher thread (once); false when it could not be started.
  static bool Start();
  // The keeper a SIGHUP reloads; null (the default) ignores the signal.
  // main withdraws it before the keeper stops.
  static void SetKeeper(ProgramKeeper* keeper);
};

#endif  // VIGILD_COLLECTOR_RELOADSIGNAL_H
