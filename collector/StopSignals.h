// StopSignals: the daemon's orderly end on SIGINT, SIGTERM, SIGTSTP, SIGTTIN
// and SIGTTOU. No handler runs in signal context: main blocks the five
// signals before any thread exists, so every thread inherits the mask, and a
// watcher thread takes them with sigwait. On a signal the watcher tells the
// service manager it is stopping (when one asked to be told), stops the
// listener, writes every queued log record into every output and ends the
// process with status 0, within kExitBudgetMs whatever the other threads
// are doing (a restart worker may be in a wait of minutes; a client routine
// may be in the middle of an order).
// Supervised processes are left alone.
//
// Static functions only. The watcher is started by main (Start) and never
// ends by itself: it ends with the process. Safe for concurrent use: the
// published listener and the disarmed flag are guarded by one mutex, which
// the watcher holds for the whole stop sequence.
#ifndef VIGILD_COLLECTOR_STOPSIGNALS_H
#define VIGILD_COLLECTOR_STOPSIGNALS_H

class ListenPort;
class StatusWriter;

class StopSignals {
 public:
  // The stop sequence ends the process after at most this long, drained or
  // not, so the daemon ends within 2 s of the signal.
  static constexpr unsigned kExitBudgetMs = 1800;

  // Blocks the five signals in the calling thread. main calls it first,
  // before any thread is started.
  static void Block();
  // Starts the watcher thread (once); false when it could not be started.
  static bool Start();
  // The watcher also waits for SIGHUP (which main blocks as well) and
  // passes it to take; null, the default, leaves it unanswered.
  static void SetHangUp(void (*take)());
  // The listener the stop sequence stops; null withdraws it. main withdraws
  // it before destroying the listener.
  static void SetListener(ListenPort* port);
  // The status writer whose files the stop sequence marks as ended, so that
  // monitoring sees the stop instead of a daemon frozen "running"; null
  // withdraws it. main withdraws it before destroying the writer.
  static void SetStatusWriter(StatusWriter* writer);
  // main calls it when its own end begins: a signal from then on is left to
  // that end, which exits with its own status.
  static void Disarm();
  // Whether a stop signal has started the stop sequence.
  static bool Stopping();
};

#endif  // VIGILD_COLLECTOR_STOPSIGNALS_H
