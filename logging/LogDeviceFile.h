// LogDeviceFile: the log server's dated-file output. Each record becomes one
// tab-separated line in the file of its UTC day, <directory>/<yyyy.mm.dd><prefix>.log;
// files only move forward in time, and each new file trims the directory to
// the newest `retentionDays` files of the prefix.
//
// The directory may be open to other users: a day's file that is a link,
// not a plain file, owned by another user or linked elsewhere is refused;
// records then go to a console output of the device's own, after one Error
// there, until the file can be opened again.
//
// Owned by the log server. One thread at a time; the owner locks: the server
// calls every device under its delivery mutex, which is what serialises the
// log thread and a flushing thread, so the device adds no lock of its own.
#ifndef VIGILD_LOGGING_LOGDEVICEFILE_H
#define VIGILD_LOGGING_LOGDEVICEFILE_H

#include <stdio.h>

#include <memory>
#include <string>

#include "LogDevice.h"
#include "String.h"
#include "Timestamp.h"

class LogDeviceFile : public LogDevice {
 public:

  LogDeviceFile();
  ~LogDeviceFile() override;

  // Keeps the settings and creates the directory when missing (a failure is
  // reported on stderr; records are then refused until it can be made).
  // Opens nothing yet. Always true. A negative retention keeps every file; 0
  // keeps only the open one.
  bool Init(const char* directory, const char* prefix, const int retentionDays);

  // Appends record to the file of its day (the open file when the record is
  // older). False when no file could be opened or the write failed; the file
  // is then closed and the next record opens it again. Only flush pushes the
  // stream's buffer out.
  bool ProcessMessage(Handle<LogMessage>& record, bool flush) override;
  // Waits for the console output a refused file sent records to.
  bool Drain(int timeoutMs) override;

  // Makes sure a file fit for a record of time (seconds since the epoch) is
  // open, moving to that day's file when it is later than the open one. Once
  // per second of record time it also checks that the open file is still the
  // one its path names; one removed (with its directory) or replaced is
  // opened again, so logging resumes where an operator can read it.
  bool CheckFile(int time);
  // Opens the file of time's UTC day for appending (closing any open file).
  bool OpenFileFor(int time);
  void CloseCurrentFile();
  // Removes the oldest files of the prefix beyond the retention count; the
  // open file counts but is never removed. Always true.
  bool CheckRetentionPeriod();

  // Full path of the open file, "" when none.
  const String& getCurrentFileName() const { return currentFileName; }


 private:
  // Fills `line` with the record's line, newline included.
  void _FormatLine(LogMessage& record);
  // Whether the open file is still the one currentFileName names.
  bool _StillInPlace() const;
  // Writes record to the console fallback, after the refusal's one Error.
  bool _ToConsole(Handle<LogMessage>& record);
  // Drops the open stream after a failed write or flush.
  bool _WriteFailed();
  // One stderr line per run of failures, so a broken disk does not flood it.
  void _ReportFailure(const std::string& text, int error);

  String directory;
  String filePrefix;
  int retentionDays;
  FILE* currentFile;
  String currentFileName;
  int currentDay;          // UTC day number (seconds / 86400) of the last open
  bool failing;            // a failure was reported and nothing succeeded since
  Timestamp scratchTime;   // for breaking times down
  std::string line;        // reused between records to spare an allocation each
  long timeFieldsSecond;   // the second timeFields was printed for; -1: none
  int placeCheckedSecond;  // record second of the last look at the open file's path
  std::string timeFields;  // "<seconds>\t<UTC time>\t" of that second
  std::string refusedNote;   // why the day's file was refused; "" when it was not
  bool refusedReported;      // the note went to the console in this run of refusals
  std::unique_ptr<LogDevice> console;  // made on the first refusal
};

#endif  // VIGILD_LOGGING_LOGDEVICEFILE_H
