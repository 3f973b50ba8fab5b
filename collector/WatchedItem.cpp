#include "WatchedItem.h"

#include "BError.h"
#include "LogServer.h"
#include "LogStream.h"

WatchedItem::WatchedItem() : state(ItemCreated) {}

int WatchedItem::IsSomethingWrong(RestartReason* why) const {
  RestartReason ignored = NoReason;
  RestartReason& reason = why != nullptr ? *why : ignored;
  Timestamp now;
  now.SetNow();

  if (settings.heartbeatOn == 1 && now - lastSeen > settings.wdFreq) {
    LogStream what;
    what << ", failed to reset watchdog. No signal since " << lastSeen;
    reason = NoHeartbeat;
    return _Fail(what);
  }
  if (settings.wsetOn == 1) {
    if (settings.maxWSet != -1 && info.psWSet > settings.maxWSet) {
      LogStream what;
      what << ", reachs Working Set uppper limit : " << info.psWSet << " > " << settings.maxWSet;
      reason = WorkingSet;
      return _Fail(what);
    }
    if (settings.minWSet != -1 && info.psWSet > settings.minWSet) {
      // A percentage of the nominal size, not an increase over it: 150 allows
      // one and a half times the nominal size. With no percentage given (-1)
      // every positive working set is too large.
      const double factor = settings.wsetIncr / 100.0;
      if (info.psNomWSet != -1 && info.psWSet != -1 &&
          static_cast<double>(info.psWSet) > static_cast<double>(info.psNomWSet) * factor) {
        LogStream what;
        what << ", increases than more than " << settings.wsetIncr
             << "%, compared to nominal value : " << info.psNomWSet;
        reason = Growth;
        return _Fail(what);
      }
    }
  }
  if (settings.errorsOn == 1 && info.psErrors > settings.maxErrors) {
    LogStream what;
    what << ", commited too much errors. " << info.psErrors << " > " << settings.maxErrors;
    reason = Errors;
    return _Fail(what);
  }
  return 0;
}

int WatchedItem::_Fail(const LogStream& what) const {
  try {
    LogStream line;
    line << "[WatchedItem::IsSomethingWrong] : ERROR : process #" << info.pid << " "
         << settings.psName << what;
    LogServer::Report(Error, "DL30000", line.getText().chars(), "GENERIC", true);
  } catch (BError& error) {
    error.AddErrorLine(1, "WatchedItem::IsSomethingWrong");
    throw BError(error);
  }
  return 1;
}
