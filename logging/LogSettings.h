// LogSettings: reads the log server's settings from the global configuration
// store: start level and filter, log directory, file prefix and retention,
// and the UDP collector. Every reader has a default for a missing key. The
// "LOGMANAGER." keys use the ordinary scoped lookup; the older "CMGR.LOG."
// keys are read by their full name, and only when the newer key is empty.
//
// Never instantiated; safe for concurrent use (each read is one lookup
// serialised by the store).
#ifndef VIGILD_LOGGING_LOGSETTINGS_H
#define VIGILD_LOGGING_LOGSETTINGS_H

#include "String.h"

class LogSettings {
 public:
  LogSettings() = delete;

  static int getStartDebugLevel();  // "LOGMANAGER.DEBUGLEVEL", 2
  // "LOGMANAGER.LOGDIR"; else "ROOT_DIRECTORY" + "/log/" with doubled
  // slashes folded; else "./".
  static String getStartDebugPath();
  static bool shouldCreateFiles();    // "LOGMANAGER.CREATEFILES", false
  static String getFilesPrefix();     // "LOGMANAGER.FILEPREFIX", "debug"
  static int getMaxRetentionsDays();  // "LOGMANAGER.MAXFILERETENTIONDAYS", 9999
  // True when both a UDP server and a port are configured.
  static bool shouldDoUDPForward();
  static String getUDPServer();       // "", by default
  static int getUDPPort();            // 0, by default
  static int getUDPFacilityNumber();  // 8, by default
  // "LOGMANAGER.LOGFILTER"; else the letters of "LOGMANAGER.DEBUGLEVEL";
  // else "CMGR.LOG.FILTER"; else "".
  static String getFilter();
};

#endif  // VIGILD_LOGGING_LOGSETTINGS_H
