// ReloadSignal: SIGHUP asks the program keeper to read the program files
// again. As with the stop signals, no handler runs in signal context: main
// blocks SIGHUP before any thread exists, and the stop signals' watcher
// thread takes it with sigwait and queues the reload.
//
// Static functions only. Safe for concurrent use: the keeper is published
// through an atomic pointer.
#ifndef VIGILD_COLLECTOR_RELOADSIGNAL_H
#define VIGILD_COLLECTOR_RELOADSIGNAL_H

class ProgramKeeper;

class ReloadSignal {
 public:
  // Blocks SIGHUP in the calling thread; main calls it before any thread is
  // started.
  static void Block();
  // Hands SIGHUP to the stop signals' watcher, which StopSignals::Start
  // starts.
  static void Start();
  // The keeper a SIGHUP reloads; null (the default) ignores the signal.
  // main withdraws it before the keeper stops.
  static void SetKeeper(ProgramKeeper* keeper);
};

#endif  // VIGILD_COLLECTOR_RELOADSIGNAL_H
