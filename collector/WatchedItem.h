// WatchedItem: one supervised process: what it last reported, how it is
// judged and handled, when it was last heard of and where it stands in the
// supervision cycle. IsSomethingWrong is the health check the cycle asks of
// every watched item once per pass.
//
// A value owned by whoever holds it; the watched table keeps its own copies.
// One thread at a time; the owner locks.
#ifndef VIGILD_COLLECTOR_WATCHEDITEM_H
#define VIGILD_COLLECTOR_WATCHEDITEM_H

#include "ProcessInfo.h"
#include "Timestamp.h"
#include "WatchSettings.h"

class LogStream;

// An item's place in the supervision cycle.
enum WatchState : int {
  ItemCreated = 96,     // built, not yet in the table
  ItemWatching = 97,    // in the table, tested on every pass
  ItemWaiting = 98,     // found wrong; its sequence waits for a free restart worker
  ItemRestarting = 99,  // its stop-and-restart sequence runs
  ItemFinished = 100,   // stopped; leaves the table once its start command is launched
};

// Why an item's restart began.
enum RestartReason : int {
  NoReason = 0,
  NoHeartbeat,  // silent longer than its wdfreq
  WorkingSet,   // working set above its maximum
  Growth,       // working set grown past its share of the nominal size
  Errors,       // more errors than it may make
  Probe,        // its wrapper found it unhealthy
  Exit,         // its wrapper saw it end
};

class WatchedItem {
 public:
  // Never seen, ItemCreated, default report and settings.
  WatchedItem();

  // 1, after logging why, when the process must be restarted: it stayed
  // silent longer than wdFreq seconds, its working set passed maxWSet or grew
  // beyond wsetIncr percent of its nominal size, or its error count passed
  // maxErrors. Only the first failing test, in that order, is logged. 0 when
  // every test that is switched on passes. The failing test goes into *why
  // when why is given. An error object raised while logging is passed on.
  int IsSomethingWrong(RestartReason* why = nullptr) const;

  Timestamp lastSeen;  // last registration or heartbeat; also the restart's start
  WatchState state;
  ProcessInfo info;
  WatchSettings settings;
  // The user whose connection registered the process, -1 when unknown. Only
  // this user and root may beat for the item, forget it or replace it; when
  // the daemon runs as root, a non-root owner's commands run as that user.
  long ownerUid = -1;
  // The process's start time (clock ticks since boot) read at registration,
  // -1 when it could not be read, kGoneAtRegistration when the process had
  // already ended. The pid stands for this process only: one that holds the
  // pid with another start time is a stranger, never signalled.
  long long startTime = -1;
  static constexpr long long kGoneAtRegistration = -2;
  // The restart sequence that owns the item, 0 while none does: a sequence
  // removes the item at its end only if it is still its own, not a new
  // registration that took the pid meanwhile.
  unsigned long long sequence = 0;

 private:
  // Logs the failure line naming this process, followed by what failed,
  // and returns 1.
  int _Fail(const LogStream& what) const;
};

#endif  // VIGILD_COLLECTOR_WATCHEDITEM_H
