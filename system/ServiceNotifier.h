// ServiceNotifier: the daemon's side of the service manager's notification
// protocol. Each message is one datagram ("READY=1", "STATUS=...",
// "STOPPING=1", "WATCHDOG=1") sent to the Unix datagram socket that
// NOTIFY_SOCKET names; a leading '@' names the abstract namespace. The
// watchdog is fed only when WATCHDOG_USEC is set and WATCHDOG_PID, if
// present, names this process; its pings come from whoever calls PassDone
// (the supervision pass), so a pass that never ends stops them and the
// service manager restarts the daemon.
//
// Without NOTIFY_SOCKET (or with an address that cannot be used) every call
// does nothing. A failed send is logged once per run of the same error and
// never stops the caller: the service manager's view is worth less than the
// supervision itself.
//
// main owns the daemon's one (Daemon()); tests make their own. Safe for
// concurrent use: READY comes from main, STOPPING from the signal watcher,
// STATUS and WATCHDOG from the supervision thread, and one mutex guards the
// socket and what was last sent. No log record is written with it held, so
// callers may hold their own locks (the stop sequence's) around a call.
#ifndef VIGILD_SYSTEM_SERVICENOTIFIER_H
#define VIGILD_SYSTEM_SERVICENOTIFIER_H

#include <stdint.h>
#include <sys/types.h>

#include <functional>
#include <string>

#include "TaskMutex.h"

class ServiceNotifier {
 public:
  // What the environment asks for, read and checked.
  struct Settings {
    std::string address;     // as NOTIFY_SOCKET gives it; empty: notify nobody
    int64_t watchdogUs = 0;  // the watchdog interval; 0: no watchdog
    std::string problem;     // why a variable was refused, for the log; empty: none
  };

  // Settings from the three variables' text (null: absent) for a process
  // whose id is self. A refused variable leaves its part off and says why
  // in problem: an address that is neither absolute nor abstract or too
  // long for a socket address, an interval that is not a positive decimal
  // number of microseconds, a WATCHDOG_PID that is not a decimal pid. A
  // WATCHDOG_PID of another process quietly leaves the watchdog off: it was
  // meant for an ancestor that let it leak.
  static Settings Parse(const char* notifySocket, const char* watchdogUsec, const char* watchdogPid,
                        pid_t self);
  // Parse of this process's environment, then the three variables are
  // removed, so that no command the daemon starts speaks for it. Call while
  // the process has one thread: it changes the environment.
  static Settings TakeFromEnvironment();

  // Milliseconds on a monotonic clock; tests give their own.
  using Clock = std::function<int64_t()>;

  // Disabled until Open. clock null: the steady clock.
  explicit ServiceNotifier(Clock clock = nullptr);
  ~ServiceNotifier();
  ServiceNotifier(const ServiceNotifier&) = delete;
  ServiceNotifier& operator=(const ServiceNotifier&) = delete;

  // Takes settings: logs their problem, if any, and opens the socket when
  // they name an address. False when nothing will be sent (no address, or
  // no socket could be had, which is logged). Called once, by main.
  bool Open(const Settings& settings);
  // Whether messages go anywhere.
  bool Enabled();
  // The watchdog interval in milliseconds; 0: no watchdog.
  int64_t WatchdogMs();

  // One datagram each; false when it could not be sent (or is disabled).
  bool Ready();
  // After it, PassDone sends nothing: the pass that was running when the
  // stop signal came must not ping or report after the daemon said it stops.
  bool Stopping();
  // After each pass: sends "STATUS=" + line when line differs from the
  // last one sent (line feeds become spaces: the status is one line), and
  // "WATCHDOG=1" when a quarter of the interval has passed since the last
  // ping, so that passes a second apart ping at least twice per interval
  // from an interval of 2 s up. A shorter interval gets a ping each pass.
  void PassDone(const std::string& line);

  // The daemon's one, disabled until main opens it.
  static ServiceNotifier& Daemon();

 private:
  // REQUIRES: mutex held. errno text on failure, else empty.
  std::string _Send(const std::string& message);
  // Logs failure (empty: a success) once per run of the same error.
  void _Note(const std::string& message, const std::string& failure);

  const Clock clock;    // constant after construction
  TaskMutex mutex;      // guards every field below
  int fd = -1;          // the datagram socket; -1: disabled
  std::string address;  // the socket address as NOTIFY_SOCKET names it
  int64_t watchdogMs = 0;
  int64_t lastPingMs = -1;  // -1: no ping sent yet
  std::string lastStatus;   // the last status line sent
  bool statusSent = false;
  bool stopping = false;    // STOPPING=1 sent: PassDone stays quiet
  std::string lastFailure;  // the error of the last failed send; empty: it worked
};

#endif  // VIGILD_SYSTEM_SERVICENOTIFIER_H
