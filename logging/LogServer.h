// LogServer: the process-wide dispatcher of log records. It decides which
// severities are accepted (globally and per channel), stamps each record with
// the process's facility name and the emitting thread's channel, folds
// repeated records, and hands every record to its output devices (console,
// dated file, UDP), then to every registered LogRepeater. Until
// StartProcessingThread it writes on the caller's thread; afterwards records
// go through a bounded queue (1001 records) that the log thread drains once a
// second and that any caller can drain at once with Flush.
//
// One server per process, made by the first Instance() call and destroyed by
// DeleteInstance(); it owns its devices. Safe for concurrent use, except that
// DeleteInstance() must not race any other use, and device replacement
// (initForConfiguration and the Make*Logger functions) is for start-up.
//
// Locks, never held two at a time except deliveryMutex -> the queue's own:
// the channel table's and the once counters' own mutexes, the queue's
// (LogQueue), repeatersMutex (the repeaters), deliveryMutex (device
// pointers; one drainer at a time takes a queue-load and writes it, so
// records reach the devices in queue order even when the log thread and a
// Flush caller drain together).
// Devices must not log through the server: they are called with
// deliveryMutex held. Repeaters are called with no lock of the server held,
// since their callbacks may send on a connection and log.
#ifndef VIGILD_LOGGING_LOGSERVER_H
#define VIGILD_LOGGING_LOGSERVER_H

#include <atomic>
#include <list>
#include <string>

#include "Handle.h"
#include "LogChannelTable.h"
#include "LogDevice.h"
#include "LogForwarder.h"
#include "LogMessage.h"
#include "LogOnceCounters.h"
#include "LogQueue.h"
#include "LogSeverityCode.h"
#include "LogSeverityFilter.h"
#include "String.h"
#include "TaskMutex.h"
#include "ThreadLauncher.h"

class LogServer {
 public:
  // The queue never holds more records than this; producers wait meanwhile.
  // A load taken out for writing no longer counts, so at most twice this
  // many records wait in memory.
  static constexpr size_t kQueueCapacity = LogQueue::kCapacity;

  // Stores itself in oLogServer; logs to the console with the filter "FWI".
  LogServer();
  // Stops the log thread (it drains what is left first) and deletes the
  // devices.
  ~LogServer();
  LogServer(const LogServer&) = delete;
  LogServer& operator=(const LogServer&) = delete;

  // The singleton, null until the first Instance() call.
  static std::atomic<LogServer*> oLogServer;
  static LogServer* Instance();
  // Writes every queued record, then destroys the singleton.
  static void DeleteInstance();

  // The one logging pattern: when severity is accepted, builds a record with
  // code (the severity's default code when null), text and the optional tag,
  // hands it over and, when asked, flushes. False when the severity is not
  // accepted or the record was refused.
  static bool Report(LogSeverityCode severity, const char* code, const std::string& text,
                     const char* tag = nullptr, bool flush = false);

  // ---- Life cycle
  bool initForConsole();
  // setRootFacilityName(name), then init().
  bool initForConfiguration(const char* name);
  // Outputs from the configuration (makeConfigurationBasedLogger).
  bool init();
  // Facility root = name + "-" + process id, at most 127 characters.
  void setRootFacilityName(const char* name);
  std::string getRootFacilityName() const;
  bool StartProcessing();
  bool StartProcessing(const char* unused1, const char* unused2);
  // Queued mode with the log thread. Returns once the thread runs (at most
  // about a second), false when it could not be started.
  bool StartProcessingThread();
  bool StartProcessingThread(const char* unused1, const char* unused2);
  // Queued mode without a log thread: records wait for a Flush.
  bool StartQueueing();
  // 0 running, 1 stop requested, 2 stopped, 3 failed.
  int getState() const { return state.load(); }
  bool isThreaded() const { return threaded.load(); }

  // ---- Devices
  bool makeConsoleBasedLogger();
  // UDP output when a server and port are configured, file output when files
  // are asked for; false when one of them could not be made.
  bool makeConfigurationBasedLogger();
  bool MakeConsoleLogger();
  bool MakeFileLogger();
  bool MakeUDPLogger();
  // Replaces the console output by device (owned from now on; null: none).
  // Tests put a capturing device there.
  void setConsoleDevice(LogDevice* device);
  // Adds a forwarder that gets every record after the devices, until its
  // ProcessMessage returns false. Returns true.
  bool registerLogRepeater(Handle<LogForwarder> repeater);

  // ---- Configuration readers (global configuration store; each has a
  // default for a missing key)
  static int getStartDebugLevel();
  static String getStartDebugPath();
  static bool shouldCreateFiles();
  static String getFilesPrefix();
  static int getMaxRetentionsDays();
  static bool shouldDoUDPForward();
  static String getUDPServer();
  static int getUDPPort();
  static int getUDPFacilityNumber();
  static String getFilter();

  // ---- Severity acceptance
  void setFilter(const char* filter);
  void setAcceptSeverity(LogSeverityCode severity, bool on);
  void setAcceptSeverityUpTo(LogSeverityCode severity);
  // On a caller's table of LogSeverityFilter::kTableSize entries.
  void setAcceptSeverityUpTo(bool* table, LogSeverityCode severity);
  // Also logs "Set log generation level to '<name>'" (levels 2..10).
  void setDebugLevelNumber(unsigned level);
  void setDebugLevelNumber(unsigned level, int taskId);
  void unsetDebugLevelNumber(int taskId);
  bool isAcceptableSeverity(LogSeverityCode severity);
  LogSeverityCode getUpToSeverity();
  unsigned getDebugLevelNumber();
  bool getDebugLevelNumbers(std::list<std::string>& out);

  // ---- Records
  bool AddGlobalMessage(Handle<LogMessage> record);
  bool AddChannelMessage(Handle<LogMessage> record);
  // Prints the 1st, 5th, 10th, 100th and 1000th of identical texts; the
  // others are dropped, or printed with repeatSeverity when it is accepted.
  bool AddOnceMessage(Handle<LogMessage> record, LogSeverityCode repeatSeverity);
  bool ResetOnceCounters();
  // Writes (synchronous mode) or queues (queued mode) one stamped record.
  bool ProcessMessage(Handle<LogMessage>& record);
  // Writes every queued record before returning.
  bool Flush();
  // Writes every record queued before the call (not those queued while it
  // writes), then waits until the devices have passed on what they accepted
  // (the console's queue is written), at most timeoutMs for that. False when
  // something was still waiting at the deadline.
  bool Drain(int timeoutMs);
  // Takes the queue a whole load at a time and writes each record in order
  // (the last one of a load with flush true), until the queue is empty.
  bool ProcessQueue();
  // Takes the oldest record out; nowEmpty tells whether others remain. False
  // when the queue is empty.
  bool FirstInQueue(Handle<LogMessage>& record, bool& nowEmpty);

  // ---- Channels
  int MapThreadToChannel(int channel);
  int UnMapThread();
  int getCurrentChannel();
  int getCurrentChannelId();
  int DescribeChannel(int channel, const char* text);
  int UnDescribeChannel(int channel);
  bool getChannelDescription(int channel, String& out);

 private:
  friend void HandleLogServer(void* server);

  // Stamps and delivers; the public forms take their handle by value.
  bool _AddChannelMessage(Handle<LogMessage>& record);
  // The description record (if any), then the record itself.
  bool _DeliverDescribed(Handle<LogMessage>& record, bool described, const String& description);
  // Logs the "SETLOGLEVEL" record of a level change.
  void _ReportLevel(unsigned level, const char* suffix);
  // ProcessQueue that takes no load after the first once the monotonic
  // clock reaches deadlineMs (-1: never); false when it stopped so.
  bool _ProcessQueueUntil(long long deadlineMs);
  // REQUIRES: deliveryMutex held
  void _WriteQueued(Handle<LogMessage>& record, bool nowEmpty);
  // Hands record to every repeater and drops those that fail. Records
  // logged by a repeater's callback are written at once, even in queued
  // mode, and are not repeated.
  // REQUIRES: no lock of the server held
  void _Repeat(Handle<LogMessage>& record);
  // REQUIRES: deliveryMutex held
  void _ReplaceDevice(LogDevice*& slot, LogDevice* device);
  // Device creation; null when the output cannot be made.
  static LogDevice* _NewFileDevice();
  static LogDevice* _NewUDPDevice();
  // Body of the log thread.
  void _RunLogThread();

  // Facility root, thread channels and channel descriptions, with their
  // own mutex.
  LogChannelTable channels;
  LogDevice* consoleDevice;  // guarded by deliveryMutex
  LogDevice* fileDevice;     // guarded by deliveryMutex
  LogDevice* udpDevice;      // guarded by deliveryMutex
  std::atomic<bool> threaded;
  const int wakePeriod;  // seconds between drains of the log thread
  std::atomic<int> state;
  TaskMutex repeatersMutex;  // guards repeaters
  std::list<Handle<LogForwarder>> repeaters;
  // repeaters.size(), written under repeatersMutex and read without it.
  std::atomic<size_t> repeaterCount{0};
  ThreadLauncher launcher;
  // The records waiting for the log thread or a Flush; the thread waits on
  // it, and a producer that finds it full and the destructor wake it so the
  // thread drains at once. Safe for concurrent use by itself.
  LogQueue queue;
  LogOnceCounters onceCounters;          // safe for concurrent use by itself
  LogSeverityFilter acceptance;          // safe for concurrent use by itself
  // Guards the three device pointers and makes taking a queue-load and
  // writing it one step.
  TaskMutex deliveryMutex;
  // Only the thread that starts and destroys the server touches this.
  bool logThreadLaunched;
  // Set by the log thread once it runs; StartProcessingThread waits for it.
  std::atomic<bool> logThreadStarted;
};

// The log thread's routine; server is the LogServer to drain.
void HandleLogServer(void* server);

#endif  // VIGILD_LOGGING_LOGSERVER_H
