// LogSeverityFilter: the log server's acceptance tables. One global table says
// which severities are logged; a table per channel (the "task id" of the
// level operations) may accept more for the threads mapped to that channel.
// Fatal is accepted by every table at all times.
//
// Owned by the log server. Safe for concurrent use: the global entries are
// atomics, read on every log call without a lock; the channel tables are
// guarded by their own mutex, which is only taken when at least one channel
// table exists.
#ifndef VIGILD_LOGGING_LOGSEVERITYFILTER_H
#define VIGILD_LOGGING_LOGSEVERITYFILTER_H

#include <array>
#include <atomic>
#include <list>
#include <map>
#include <string>

#include "TaskMutex.h"

class LogSeverityFilter {
 public:
  // Entries per table; indexes are LogSeverityCode values.
  static constexpr int kTableSize = 16;
  // Letter i of this table names severity i + 1 in level masks.
  static constexpr const char* kMaskLetters = "FWI123456789";

  // Only Fatal is accepted until a filter or a level is set.
  LogSeverityFilter();
  LogSeverityFilter(const LogSeverityFilter&) = delete;
  LogSeverityFilter& operator=(const LogSeverityFilter&) = delete;

  // Global table = Fatal plus what the letters of filter name ('F' Error,
  // 'W' Warning, 'I' Info, '1'..'8' Debug1..Debug8), anywhere in the text.
  void SetFilter(const char* filter);
  void SetAccept(int severity, bool on);
  // Sets entries 0..severity of the global table; clears nothing.
  void SetUpTo(int severity);
  // Global table = the severities of a debug level: 0 Error, 1 Warning,
  // 2 Info, 3..10 Debug1..Debug8, 11 or more Fatal only. True when Info is
  // accepted afterwards.
  bool SetLevel(unsigned level);
  // The same on the table of one channel, made on first use.
  bool SetLevel(unsigned level, int taskId);
  void UnsetLevel(int taskId);

  bool AcceptsGlobally(int severity) const;
  // True when a table exists for taskId and accepts severity.
  bool AcceptsForTask(int severity, int taskId) const;
  // Cheap test callers make before looking up their channel.
  bool HasTaskTables() const { return taskTableCount.load(std::memory_order_acquire) > 0; }

  // out = "> Global   Level=%2d; Mask=%s", then "> ID %d  Level=%2d; Mask=%s"
  // for each channel table in ascending channel order.
  void Describe(std::list<std::string>& out) const;

  // Table helpers that work on any table of kTableSize entries.
  static void SetUpTo(bool* table, int severity);
  static void FillForLevel(bool* table, unsigned level);
  static void FillForFilter(bool* table, const char* filter);

 private:
  using Table = std::array<bool, kTableSize>;

  void _StoreGlobal(const bool* table);
  static std::string _DescribeTable(const char* head, const bool* table);

  std::atomic<bool> acceptGlobal[kTableSize];
  // Number of entries of acceptByTask, readable without the lock.
  std::atomic<int> taskTableCount;
  mutable TaskMutex taskMutex;  // guards acceptByTask
  std::map<int, Table> acceptByTask;
};

#endif  // VIGILD_LOGGING_LOGSEVERITYFILTER_H
