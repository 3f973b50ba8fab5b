// WatchSettings: how a supervised process is judged and handled: its name
// for log lines, the shell commands that stop it and start it again, which
// health tests apply and their limits. A limit of -1 means the client gave
// none.
//
// A value owned by whoever holds it (a WatchedItem, an order being parsed).
// One thread at a time; the owner locks.
#ifndef VIGILD_COLLECTOR_WATCHSETTINGS_H
#define VIGILD_COLLECTOR_WATCHSETTINGS_H

#include "String.h"

class WatchSettings {
 public:
  // Empty texts, every test off, every limit -1.
  WatchSettings();

  String psName;
  String psStart;
  String psStop;
  int heartbeatOn;  // 1: wdFreq applies
  int wsetOn;       // 1: maxWSet and the growth test apply
  int errorsOn;     // 1: maxErrors applies
  int wdFreq;       // longest allowed silence, in seconds
  int minWSet;      // working set above which the growth test applies
  int maxWSet;
  int wsetIncr;  // growth threshold, in percent of the nominal working set
  int maxErrors;
};

#endif  // VIGILD_COLLECTOR_WATCHSETTINGS_H
