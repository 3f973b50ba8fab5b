#include "WatchSettings.h"

WatchSettings::WatchSettings()
    : heartbeatOn(0),
      wsetOn(0),
      errorsOn(0),
      wdFreq(-1),
      minWSet(-1),
      maxWSet(-1),
      wsetIncr(-1),
      maxErrors(-1) {}
