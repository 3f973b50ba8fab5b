// WatchedList: the daemon's table of supervised processes, ordered by pid, and
// the supervision loop that judges them once a second. A process found wrong
// is handed to a restart worker, which stops it (its stop command, a grace
// wait, then "kill -9"), starts it again with its start command and drops it
// from the table; the restarted process is expected to register itself
// again. The loop ends when the listener stops running or when the table has
// stayed empty for its time to live; an item whose sequence waits or runs is
// in the table, so it keeps the loop going.
//
// Clients' orders go through Watch, Beat and Forget, which keep every user
// to the items it registered: only the registering user and root act on an
// item, a user other than root registers only its own processes, and at most
// a configured number of them.
//
// An item under restart belongs to its sequence: a heartbeat or a mgmt order
// for it finds nothing to act on, a watch order for the same process is
// refused, and a new process that holds the pid meanwhile registers at once,
// the sequence leaving it alone.
//
// main owns the list and publishes it in pepoWatchedList; client threads
// reach it through that pointer. Safe for concurrent use: every table access
// takes the list's own mutex for that one operation, never across a wait or
// a command; the supervision pass holds it while it judges the table, and a
// restart worker while it moves its item from one state to the next. Lock
// order: the table's mutex, then the observer's (StatusWriter), then the log
// server's; the restart workers' mutex is never held with the table's.
#ifndef VIGILD_COLLECTOR_WATCHEDLIST_H
#define VIGILD_COLLECTOR_WATCHEDLIST_H

#include <stddef.h>
#include <sys/types.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "BError.h"
#include "PassSummary.h"
#include "ProgramTable.h"
#include "RateLimiter.h"
#include "RestartWorkers.h"
#include "RunAs.h"
#include "String.h"
#include "TaskMutex.h"
#include "WatchedItem.h"

class ListenPort;
class SupervisionObserver;

class WatchedList {
 public:
  // Values of runState.
  enum { ListRunning = 129, ListEnded = 130 };

  // The waits and counts of the cycle. The defaults are the daemon's; tests
  // shorten them so a restart takes milliseconds instead of minutes.
  struct Waits {
    int graceAttempts = 70;  // checks that the process left after its stop command
    unsigned graceStepMs = 2000;
    int killAttempts = 60;  // checks that the process left after "kill -9"
    unsigned killStepMs = 2000;
    unsigned restartPauseMs = 10000;  // between the end of a stop and the start command
    unsigned passSleepMs = 1000;      // between two passes, taken without the lock
    int timeToLive = 60;              // empty passes before the loop ends by itself
  };

  // What the cycle asks of the operating system. This base class is the
  // real thing; tests derive a double that records commands and plays a
  // process's life without starting any. Called by the restart workers, by
  // the thread that runs ProcessBlock and by client threads registering a
  // process, never with the list's mutex held: every function must be safe
  // for concurrent use.
  class ProcessServices {
   public:
    virtual ~ProcessServices() = default;
    // 1 while a process with that id exists, 0 once it is gone.
    virtual int CheckPID(int pid);
    // The start time of the process holding pid; false when it is gone.
    virtual bool StartTime(int pid, unsigned long long& ticks);
    // Runs command through the shell, in the foreground when mode is 1,
    // else in the background; 0 when nothing could be launched.
    virtual int CommandLunch(String& command, int mode);
    // The same with the identity of `as`; null keeps the daemon's own and
    // hands the command to CommandLunch. Every command of the cycle comes
    // through here, so a double sees which identity each would run with.
    virtual int CommandLunchAs(String& command, int mode, const RunAs* as);
    // The real user id of the process; false when it cannot be read (gone).
    virtual bool ProcessRealUid(int pid, uid_t& uid);
    // The daemon's effective user id: only a root daemon runs commands under
    // other identities.
    virtual uid_t DaemonUid();
    // The real services, shared by every list that is given none.
    static ProcessServices* Default();
  };

  // An empty table with the daemon's waits. services (null: the real ones)
  // must outlive the list.
  explicit WatchedList(ProcessServices* services = nullptr);
  WatchedList(ProcessServices* services, const Waits& waits);
  ~WatchedList();
  WatchedList(const WatchedList&) = delete;
  WatchedList& operator=(const WatchedList&) = delete;

  // Take and release the table's mutex; both return 1.
  int Lock();
  int Unlock();

  // The outcome of a client's order.
  enum Verdict {
    Done,             // carried out
    NotFound,         // no item under that pid: nothing to do
    BadPid,           // below 1: a process group, not a process
    NoSuchProcess,    // no process holds the pid
    NotOwnProcess,    // the process is another user's
    OtherUsersItem,   // the item is another user's
    OverCap,          // the user has as many items as it may
    UnknownUser,      // the client's user is unknown where it must be known
    UnderRestart,     // the item's process is being restarted
    NotProgramsUser,  // an operator's order from neither root nor the program's user
    NotDaemonsUser,   // a reload from neither root nor the daemon's user
  };
  // Items a user other than root may hold unless the configuration says
  // otherwise.
  static constexpr long kDefaultMaxWatchesPerUser = 1024;
  // How long a refusal of one order for one reason from one user stays
  // unrepeated in the log, and how many of those the log remembers.
  static constexpr long kRefusalPeriodSeconds = 60;
  static constexpr size_t kRefusalMemory = 1024;
  // How long, and how many, watch orders refused for a process that had
  // already ended are kept for the end report that follows them.
  static constexpr int kGoneMemorySeconds = 10;
  static constexpr size_t kGoneMemory = 256;

  // A client's watch order from user uid (0: root; -1: unknown, kept to
  // items registered as unknown, with no check of the process's owner). The
  // pid must name a live process, which for a user other than root must be
  // that user's own (real uid); an item already under the pid must be the
  // user's own unless the user is root, and not one whose very process is
  // under restart; and a known user other than root may hold at most the
  // per-user cap. Then item, stamped with uid, the process's start time, a
  // fresh lastSeen and ItemWatching, replaces any item under the pid. A
  // refusal is logged (rate-limited) and leaves the table alone.
  Verdict Watch(WatchedItem& item, long uid);
  // What a heartbeat may add: the program's wrapper saw it end (Exit, with
  // its exit text such as "exit 3" or "signal 9") or found it unhealthy
  // (Probe).
  struct EndReport {
    RestartReason reason = NoReason;
    std::string exitText;
  };
  // A client's heartbeat: replaces the whole info of the item under info.pid
  // and renews its lastSeen, when the item is uid's or uid is root. An item
  // under restart reads as NotFound and is left alone. With an end report
  // the item's restart begins at once, without waiting for a pass; an end
  // report for a process whose watch order was refused because it had
  // already ended (within kGoneMemorySeconds, from the same user) restarts
  // that registration, so a program that dies at once is not lost.
  Verdict Beat(ProcessInfo& info, long uid, const EndReport* end = nullptr);
  // A client's reset order for a program name: clears its restart history
  // and, when it had failed, runs its last start command at once. Only the
  // name's registrant and root may; NotFound when the name is unknown.
  Verdict Reset(const std::string& name, long uid);
  // A client's mgmt order: forgets the item under pid when it is uid's or
  // uid is root. An item under restart reads as NotFound and is left to its
  // sequence.
  Verdict Forget(int pid, long uid);
  // Logs that the order ("watch", "msg", "mgmt") for pid from uid is refused
  // for reason why: one Warning per user, order and reason per period. An
  // operator's order names what it was for (a program's name) instead of a
  // pid. Returns why.
  Verdict Refuse(const char* order, int pid, long uid, Verdict why,
                 const std::string& name = std::string());
  // The cap Watch applies to users other than root (negative: none); set by
  // main from the configuration before clients connect.
  void SetMaxWatchesPerUser(long cap) { maxWatchesPerUser = cap; }
  // How many restart sequences run at once (at least 1); the others wait in
  // state ItemWaiting. Set by main from the configuration.
  void SetMaxParallelRestarts(long count) {
    workers.SetLimit(count > 0 ? static_cast<size_t>(count) : 1);
  }

  // Whether the loop keeps going on an empty table: true while program
  // files define programs, which may all be stopped. Set by the program
  // keeper.
  void SetKeepAlive(bool keep) { keepAlive = keep; }

  // The operator's hold on a program name (the program keeper's calls).
  // StopName marks name stopped, so that no restart of it starts it again,
  // and runs the stop sequence of each of its items that is watched, with
  // no start after it. stopped runs, on whichever thread drops it last,
  // once those sequences have ended (at once when there are none); it runs
  // also when the workers close. Returns how many sequences began.
  size_t StopName(const std::string& name, std::function<void()> stopped);
  // Clears name's stopped mark, its failure and its restart history, as
  // before a start by the operator.
  void ClearStopped(const std::string& name);
  // Marks name stopped without touching its items (a stop recorded before
  // the daemon started).
  void MarkStopped(const std::string& name);
  // The names program files define, shown as such in the status.
  void SetDefined(const std::vector<std::string>& names);
  // Items registered under name.
  size_t CountNamed(const std::string& name);
  // Whether a restart launched name's start command less than withinMs ago
  // and its process has not registered yet.
  bool StartUnderWay(const std::string& name, int64_t withinMs);

  // The restart delays and limit, set by main from the configuration. Until
  // then the first delay is the waits' restartPauseMs.
  void SetRestartSettings(const ProgramTable::Settings& settings);

  // Registers item.info.pid with no check, replacing any item under that
  // pid; for the daemon's own use and tests, never for a client's order.
  // The caller's record gets the process's start time (when it can be read),
  // the fresh lastSeen and the state ItemWatching. Returns 1.
  int CreateNewWatch(WatchedItem& item);
  // Forgets pid if it is there. Returns 1 in both cases.
  int DeleteWatch(int pid);
  // Heartbeat: replaces the whole info of the item under info.pid and renews
  // its lastSeen. 1 when the pid is in the table, else 0.
  int UpdateWatchedItem(ProcessInfo& info);

  // The supervision loop, run by main until it ends; returns 1. A null
  // listener counts as one that is not running. When it ends, sequences that
  // still wait or run are abandoned where they stand (no start command) and
  // their workers joined before it returns. An error object raised in a
  // sequence ends the loop as one raised in a pass does.
  int ProcessBlock(ListenPort* port);

  // Who is told of every pass's result and of every restart as it begins
  // (null: nobody). Set before ProcessBlock runs; the observer must outlive
  // the loop.
  void SetObserver(SupervisionObserver* onlooker) { observer = onlooker; }

  // Called on the supervision thread after every pass, with the table free,
  // with what the pass left (empty: nobody). The service manager's watchdog
  // is fed from here, so a pass that never ends stops its pings. Set before
  // ProcessBlock runs.
  using PassListener = std::function<void(const PassSummary&)>;
  void SetPassListener(PassListener listener) { passListener = std::move(listener); }

  // A copy of the table, taken under the mutex.
  std::map<int, WatchedItem> Snapshot();
  size_t Size();

  // ListRunning while ProcessBlock loops, ListEnded once it has returned; 0
  // before the first run. Setting it to anything else ends the loop after
  // the current pass.
  std::atomic<int> runState;

 private:
  // A sequence handed to a worker: the item's pid and its sequence number.
  struct Restart {
    int pid;
    unsigned long long sequence;
    RestartReason why;
    std::string exitText;  // with Exit: as the program's wrapper reported it
    // With an operator's stop: dropped (its callback runs) when the last
    // sequence of the stop ends.
    std::shared_ptr<void> stopWaiter;
  };
  // One pass over the table; timeToLive is the loop's counter. Wrong items
  // are marked ItemWaiting and added to found.
  // REQUIRES: mutex held
  void _Pass(int& timeToLive, std::vector<Restart>& found);
  // One item's sequence as it goes from step to step: what the steps share.
  struct Sequence {
    Restart restart;
    WatchedItem item;         // the table's copy, taken as the sequence begins
    RunAs identity;           // the registrant's, when its commands run as that user
    const RunAs* as = nullptr;  // &identity or null: the daemon's own
    bool begun = false;       // the item was taken over: an end on closing is logged
    bool killing = false;     // past the grace wait, waiting for "kill -9" to work
    int attempt = 0;          // checks made in the current wait
    explicit Sequence(const Restart& r) : restart(r) {}
  };
  using SequencePtr = std::shared_ptr<Sequence>;
  // What a step leaves: the sequence ends, ends early because the workers
  // close, or goes on in a step it posted.
  enum StepOutcome { SequenceEnds, SequenceAbandoned, SequenceGoesOn };
  using Step = StepOutcome (WatchedList::*)(const SequencePtr&);
  // Runs step for sequence on a worker, catching what it throws; when the
  // sequence ends, removes its item from the table.
  void _RunStep(const SequencePtr& sequence, Step step);
  // Posts step to run after ms milliseconds; returns SequenceGoesOn.
  StepOutcome _After(const SequencePtr& sequence, unsigned ms, Step step);
  // The steps: take the item over and launch its stop command; check that
  // its process left, waiting between checks, and "kill -9" it once the
  // grace wait has passed; mark it stopped and wait for the delay; launch
  // its start command.
  StepOutcome _StepBegin(const SequencePtr& sequence);
  StepOutcome _StepCheck(const SequencePtr& sequence);
  StepOutcome _Stopped(const SequencePtr& sequence);
  StepOutcome _StepStart(const SequencePtr& sequence);
  // A reset's start of a failed name: the registrant's identity, then the
  // start command.
  StepOutcome _StepStartAgain(const SequencePtr& sequence);
  // Tells the observer the programs' state changed.
  // REQUIRES: mutex held
  void _ProgramsChanged();
  // Milliseconds on the monotonic clock the program table's times use.
  static int64_t _NowMs();
  // Sets the state of the item the sequence owns, if it is still there; the
  // observer hears of ItemRestarting. False when the item is gone.
  bool _SetState(const Restart& restart, WatchState state, WatchedItem* copy);
  // The first error object a sequence raised, thrown on by the loop.
  void _RethrowSequenceFailure();
  // The identity item's commands run with: null (the daemon's own) unless
  // the daemon is root and a known non-root user registered the item, in
  // which case that user's, resolved into identity. False, after logging,
  // when that user's identity cannot be resolved.
  bool _IdentityFor(const WatchedItem& item, RunAs& identity, const RunAs*& as);
  // "kill -9 <pid>" as `as`; with a user's identity only when the process
  // belongs to that user. 1 when it was launched or item's process is gone.
  int _Kill(const WatchedItem& item, const RunAs* as);
  // Whether item's own process still holds its pid: one that exists with
  // another start time reads as gone.
  bool _Alive(const WatchedItem& item);
  // Items registered by uid.
  // REQUIRES: mutex held
  size_t _CountOwnedBy(long uid) const;

  std::map<int, WatchedItem> table;  // guarded by mutex; ascending by pid
  ProgramTable programs;             // guarded by mutex; by program name
  // Watch orders refused because their process had ended, by pid, with when
  // (_NowMs); guarded by mutex, at most kGoneMemory of them.
  std::map<int, std::pair<WatchedItem, int64_t>> goneAtRegistration;
  unsigned long long sequences = 0;  // guarded by mutex; the last sequence number given
  TaskMutex mutex;                   // guards table, programs and sequences
  ProcessServices* const services;   // constant after construction
  const Waits waits;                 // constant after construction
  std::atomic<SupervisionObserver*> observer{nullptr};
  PassListener passListener;  // constant while ProcessBlock runs
  std::atomic<long> maxWatchesPerUser{kDefaultMaxWatchesPerUser};
  std::atomic<bool> keepAlive{false};
  RateLimiter refusals{kRefusalPeriodSeconds, kRefusalMemory};  // safe for concurrent use
  TaskMutex failureMutex;  // guards sequenceError and failed
  BError sequenceError;    // the first error object a sequence raised
  bool failed = false;
  RestartWorkers workers;  // safe for concurrent use; joined before the members above go
};

// "kill -9 <pid>" in the foreground through services; 1 when it was
// launched, 0 (after logging) when it could not be.
int StopProcess(int pid, WatchedList::ProcessServices& services);
// The same through the real services.
int StopProcess(int pid);

// The daemon's one list: set by main before the listener starts its client
// threads and left alone while they run, so those threads only read it.
extern WatchedList* pepoWatchedList;

#endif  // VIGILD_COLLECTOR_WATCHEDLIST_H
