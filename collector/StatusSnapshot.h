// StatusSnapshot: what the daemon is doing at one moment, as the status file
// (JSON) and the metrics file (the Prometheus text exposition format) show
// it: the daemon's own facts, its order counters and restart counts, and one
// entry per watched process.
//
// A value owned by whoever builds it (the status writer, tests). One thread
// at a time; the owner locks.
#ifndef VIGILD_COLLECTOR_STATUSSNAPSHOT_H
#define VIGILD_COLLECTOR_STATUSSNAPSHOT_H

#include <stdint.h>

#include <map>
#include <string>
#include <vector>

#include "OrderCounters.h"
#include "ProgramTable.h"


class StatusSnapshot {
 public:
  // One watched process. A limit of -1 means its test is off or the client
  // gave no value. Working sets are in the client's unit; vigilctl reports kB.
  struct Process {
    int pid = 0;
    std::string name;
    std::string state;  // "watching", "waiting", "restarting" or "created"
    long lastHeartbeat = 0;  // UTC seconds of the last registration or heartbeat
    int wdfreq = -1;
    int minwset = -1;
    int maxwset = -1;
    int wsetincr = -1;
    int maxerrors = -1;
    int wset = 0;
    int nomwset = 0;
    int errors = 0;

    bool operator==(const Process& other) const;
  };

  // One program name, as operators follow it across its processes.
  struct Program {
    std::string name;
    std::string state;       // "watching", "restarting", "waiting", "failed" or "stopped"
    long startAt = 0;        // UTC seconds of a waiting program's start; 0: none
    std::string lastExit;    // "exit 3", "signal 9" or empty
    std::string lastReason;  // "no heartbeat", "probe", "exit"... or empty
    long since = 0;          // UTC seconds its current process registered
    uint64_t restarts = 0;   // restart sequences begun since it was first registered
    bool defined = false;    // a program file defines it

    bool operator==(const Program& other) const;
  };

  // The entry for one item of the watched table.
  static Process FromItem(const WatchedItem& item);
  // The entries for every name of programs, in name order, their states read
  // from the table: failed when the name has failed; else stopped when an
  // operator stopped it and no item of it is left; else restarting while
  // one of its items is, waiting while one waits for a worker or for its
  // delay, watching while one is watched, and restarting when none is left
  // (its start command ran and the new process has not registered yet).
  static std::vector<Program> ProgramsFrom(const std::map<int, WatchedItem>& table,
                                           const ProgramTable& programs, int64_t nowMs,
                                           long nowUtc);

  // The status file: an object with "daemon" (pid, started, updated, port,
  // passes, running), "orders" (by type), "protocol_errors", "restarts" (by
  // process name), "processes" (each with its name's restart count) and
  // "programs" (by name: state, seconds_left, last_exit, last_reason,
  // uptime_seconds, restarts, and "defined": true for a program file's).
  // Text that is not valid UTF-8 is written with replacement characters.
  // With a cache, the text of each process entry is kept between calls and
  // built again only when the entry changed; the output is the same byte for
  // byte. The cache belongs to one writer.
  struct EntryCache;
  std::string ToJson(EntryCache* cache = nullptr) const;

  // The metrics file, every family with its HELP and TYPE lines; heartbeat
  // ages are counted from `updated`.
  std::string ToMetrics() const;

  // Whether both files would show the same but for the time of writing, the
  // heartbeat ages it gives and the pass count: what tells a reader that
  // something happened.
  bool ShowsSameAs(const StatusSnapshot& other) const;

  // A label value as the exposition format wants it: backslash, double quote
  // and line feed escaped, bytes that are not UTF-8 replaced by U+FFFD.
  static std::string EscapeLabel(const std::string& value);

  long pid = 0;
  long started = 0;  // UTC seconds
  long updated = 0;  // UTC seconds of this snapshot
  int port = 0;
  uint64_t passes = 0;
  bool running = true;
  OrderCounters::Values orders;
  std::map<std::string, uint64_t> restarts;  // by process name, since start
  std::vector<Process> processes;            // ascending by pid
  std::vector<Program> programs;             // ascending by name
};

// The printed process entries of the last ToJson, by pid.
struct StatusSnapshot::EntryCache {
  struct Entry {
    Process process;
    uint64_t restarts = 0;
    std::string text;  // the entry as the document prints it, indented
  };
  std::map<int, Entry> entries;
  size_t printed = 0;  // entries printed afresh by the last ToJson
};

#endif  // VIGILD_COLLECTOR_STATUSSNAPSHOT_H
