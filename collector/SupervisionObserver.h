// SupervisionObserver: what the supervision loop tells an onlooker (the
// status writer) about its table: the table as each pass leaves it, and the
// table as a process's restart sequence begins, with that process already
// marked as restarting, and the program names' records whenever one changes.
//
// Owned by main, which hands it to the WatchedList before the loop runs and
// destroys it after the loop has ended (and with it every restart worker).
// PassEnded comes from the supervision thread, RestartBegins from a restart
// worker, both with the table's mutex held, so never two at once: an
// implementation copies what it needs into memory and returns; it never
// touches the disk, never blocks for long and never calls back into the list.
#ifndef VIGILD_COLLECTOR_SUPERVISIONOBSERVER_H
#define VIGILD_COLLECTOR_SUPERVISIONOBSERVER_H

#include <map>

#include "ProgramTable.h"
#include "WatchedItem.h"

class SupervisionObserver {
 public:
  virtual ~SupervisionObserver() = default;
  // REQUIRES: the table's mutex held.
  virtual void PassEnded(const std::map<int, WatchedItem>& table) = 0;
  // REQUIRES: the table's mutex held.
  virtual void RestartBegins(const std::map<int, WatchedItem>& table,
                             const WatchedItem& restarting) = 0;
  // A program's state changed: registered, found wrong, stopped, waiting for
  // its start, started, failed, reset or forgotten.
  // REQUIRES: the table's mutex held.
  virtual void ProgramsChanged(const std::map<int, WatchedItem>& /*table*/,
                               const ProgramTable& /*programs*/) {}
};

#endif  // VIGILD_COLLECTOR_SUPERVISIONOBSERVER_H
