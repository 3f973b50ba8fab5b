// ProcessInfo: what a supervised process last reported about itself: its
// process id (the key of the watched table), its nominal and current
// working-set sizes and its error count. Sizes are in whatever unit the client
// uses, so they are only compared with each other and with the limits.
//
// A value owned by whoever holds it (a WatchedItem, an order being parsed).
// One thread at a time; the owner locks.
#ifndef VIGILD_COLLECTOR_PROCESSINFO_H
#define VIGILD_COLLECTOR_PROCESSINFO_H

#include <stdint.h>

class ProcessInfo {
 public:
  // Every field 0: a report that leaves a figure out reads as 0.
  ProcessInfo();

  int32_t pid;
  int32_t psNomWSet;
  int32_t psWSet;
  int32_t psErrors;
};

#endif  // VIGILD_COLLECTOR_PROCESSINFO_H
