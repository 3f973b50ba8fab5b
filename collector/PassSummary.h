// PassSummary: the supervised table in three numbers, as the service manager
// shows the daemon's status line after each pass: processes watched, and
// program names restarting (or waiting for their start) and failed.
//
// A value; one thread at a time, the owner locks.
#ifndef VIGILD_COLLECTOR_PASSSUMMARY_H
#define VIGILD_COLLECTOR_PASSSUMMARY_H

#include <stddef.h>

#include <map>
#include <string>

#include "ProgramTable.h"
#include "WatchedItem.h"

struct PassSummary {
  size_t watched = 0;     // items in the table whose process is watched
  size_t restarting = 0;  // names restarting or waiting, by their name's state
  size_t failed = 0;      // names that failed and are not started again

  // The summary of table and programs, the names' states derived as the
  // status file derives them.
  // REQUIRES: the table's mutex held.
  static PassSummary Of(const std::map<int, WatchedItem>& table, const ProgramTable& programs);
  // "3 watched, 1 restarting, 0 failed".
  std::string Line() const;
};

#endif  // VIGILD_COLLECTOR_PASSSUMMARY_H
