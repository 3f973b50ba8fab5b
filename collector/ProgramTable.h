// ProgramTable: what the daemon remembers of each program name beyond the
// life of one pid: its restarts within the restart window, the delay before
// its next start, whether it has failed, its last exit and the reason for its
// last restart, when its current process registered, and the item its last
// restart began from (the start command and owner that a reset uses).
//
// Back-off: the first restart of a name after a quiet window waits
// firstDelayMs; each further restart within windowMs of earlier ones waits
// twice as long as the one before, up to maxDelayMs, give or take 10 %; once
// `limit` restarts fall within the window (0: no limit) the name fails and
// is not started again until a reset or a new registration of it.
//
// A value owned by the WatchedList and guarded by the table's mutex; one
// thread at a time. Times are milliseconds on a monotonic clock, given by the
// caller, so tests play whole windows in no time.
#ifndef VIGILD_COLLECTOR_PROGRAMTABLE_H
#define VIGILD_COLLECTOR_PROGRAMTABLE_H

#include <stddef.h>
#include <stdint.h>

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "WatchedItem.h"

// The back-off's figures; the defaults are the daemon's unless the
// configuration says otherwise.
struct RestartSettings {
  long firstDelayMs = 100;
  long windowMs = 600 * 1000;
  long maxDelayMs = 300 * 1000;
  long limit = 10;  // restarts within the window before the name fails; 0: never
};

class ProgramTable {
 public:
  // Names remembered at most; beyond it the oldest one with no process and
  // no failure (and neither stopped nor defined) is forgotten, so a client inventing names cannot grow it.
  static constexpr size_t kMaxNames = 4096;

  using Settings = RestartSettings;

  struct Record {
    std::deque<int64_t> recent;  // when its restarts within the window were decided
    uint64_t restarts = 0;       // restart sequences begun since it was first registered
    bool failed = false;
    int64_t startAtMs = -1;      // when a delayed start comes; -1: none pending
    std::string lastExit;        // "exit 3", "signal 9", or empty
    RestartReason lastReason = NoReason;
    long watchingSince = 0;      // UTC seconds of the current process's registration
    WatchedItem last;            // the item its last restart began from
    int64_t touchedMs = 0;       // last registration or restart: the oldest goes first
    bool stopped = false;        // an operator stopped it: no restart starts it
    bool defined = false;        // a program file defines it
    int64_t launchedAtMs = -1;   // when a restart's start command ran; -1: none since
                                 // the last registration
  };

  // The decision for a name whose process has stopped.
  struct Decision {
    bool failed = false;  // the limit is reached: no start
    long delayMs = 0;     // otherwise: the wait before its start command
  };

  // jitter gives a number in [-1, 1] (null: a seeded generator's).
  explicit ProgramTable(const Settings& settings = RestartSettings(),
                        std::function<double()> jitter = nullptr);

  void SetSettings(const Settings& settings) { current = settings; }
  const Settings& CurrentSettings() const { return current; }

  // item registered under its name at nowMs (UTC seconds nowUtc). A name that
  // had failed starts afresh: someone started it by hand. True when this is
  // the new process a restart's start command launched.
  bool Registered(const WatchedItem& item, int64_t nowMs, long nowUtc);
  // The restart of item began, for why (with exitText when the program
  // reported its end). NoReason, an operator's stop or restart, is not
  // counted.
  void RestartBegins(const WatchedItem& item, RestartReason why, const std::string& exitText,
                     int64_t nowMs);
  // item's process has stopped: whether to start it, and when.
  Decision Stopped(const WatchedItem& item, int64_t nowMs);
  // name's start command was launched at nowMs: no start is pending any more.
  void Started(const std::string& name, int64_t nowMs);
  // name's pending start will not come: an operator stopped it.
  void StartDropped(const std::string& name);
  // Whether a restart's start command for name was launched less than
  // withinMs before nowMs and nothing registered under name since: its
  // process may be about to register.
  bool StartUnderWay(const std::string& name, int64_t nowMs, int64_t withinMs) const;
  // Clears name's history and failure. True when it had failed, with the
  // item to start again in *start.
  bool Reset(const std::string& name, WatchedItem* start);
  // Forgets name (no item of it is left in the table), unless a program
  // file defines it or it is stopped.
  void Forget(const std::string& name);
  // Marks name stopped by an operator, or no longer so.
  void SetStopped(const std::string& name, bool stopped, int64_t nowMs);
  // The names program files define: each gets a record; names no longer
  // defined lose the mark.
  void SetDefined(const std::vector<std::string>& names, int64_t nowMs);
  // Whether name is marked stopped.
  bool Stopped(const std::string& name) const;

  const Record* Find(const std::string& name) const;
  const std::map<std::string, Record>& Records() const { return records; }

  // The text of a reason as operators read it: "no heartbeat", "working
  // set", "growth", "errors", "probe", "exit"; empty for none.
  static const char* ReasonName(RestartReason why);

 private:
  Record& _Touch(const std::string& name, int64_t nowMs);
  void _Prune(Record& record, int64_t nowMs) const;

  Settings current;
  std::function<double()> jitter;
  std::map<std::string, Record> records;
};

#endif  // VIGILD_COLLECTOR_PROGRAMTABLE_H
