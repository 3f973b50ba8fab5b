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

class WatchedItem;

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

  // The entry for one item of the watched table.
  static Process FromItem(const WatchedItem& item);

  // The status file: an object with "daemon" (pid, started, updated, port,
  // passes, running), "orders" (by type), "protocol_errors", "restarts" (by
  // process name) and "processes" (each with its name's restart count).
  // Text that is not valid UTF-8 is written with replacement characters.
  std::string ToJson() const;

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
};

#endif  // VIGILD_COLLECTOR_STATUSSNAPSHOT_H
