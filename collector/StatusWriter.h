// StatusWriter: keeps the status file (JSON) and the metrics file (the
// Prometheus text format) up to date. The supervision loop hands it a copy of
// its table after every pass and as every restart sequence begins (as a
// SupervisionObserver: memory only, under the table's lock); its own thread
// rewrites both files whole (AtomicFile) from the latest copy and the live
// order counters when what they show has changed, and at least every
// `periodMs` when nothing has, so that a reader still sees a live daemon. The
// disk is never touched under the table's lock. A failed write is logged
// once per run of failures and never stops anything.
//
// Owned by main, which starts the thread after the listener and stops it
// (Stop, or the destructor) after the supervision loop has ended; Stop writes
// the files a last time with the daemon marked as no longer running. Safe for
// concurrent use: the observer calls and the writer thread meet under
// `mutex`; counters are atomics.
#ifndef VIGILD_COLLECTOR_STATUSWRITER_H
#define VIGILD_COLLECTOR_STATUSWRITER_H

#include <stdint.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "AtomicFile.h"
#include "StatusSnapshot.h"
#include "SupervisionObserver.h"
#include "TaskEvent.h"
#include "TaskMutex.h"
#include "ThreadLauncher.h"

class OrderCounters;
class TlConfiguration;

class StatusWriter : public SupervisionObserver {
 public:
  struct Settings {
    std::string statusFile;   // empty: no status file
    std::string metricsFile;  // empty: no metrics file
    int port = 0;
    // The longest time between two rewrites when nothing shown changes:
    // longer than a pass, so a quiet daemon does not write after every one,
    // shorter than the 5 s after which vigilctl takes the file for a dead
    // daemon's.
    unsigned periodMs = 2000;
  };

  StatusWriter(const Settings& settings, OrderCounters& counters);
  ~StatusWriter() override;
  StatusWriter(const StatusWriter&) = delete;
  StatusWriter& operator=(const StatusWriter&) = delete;

  // The daemon's writer from WATCHMGR.STATUSFILE (default ROOT_DIRECTORY +
  // "log/vigild.status.json") and WATCHMGR.METRICSFILE (default empty); an
  // empty value turns a file off. Null when both are off.
  static std::unique_ptr<StatusWriter> FromConfiguration(const TlConfiguration& configuration,
                                                         int port, OrderCounters& counters);

  // Creates the files' directories if missing, writes once and starts the
  // thread. False (after logging) when the thread cannot start; the files
  // are then written only by Stop.
  bool Start();
  // Ends the thread (waiting up to 5 s for it) and writes the files a last
  // time with "running" false. Idempotent.
  void Stop();

  void PassEnded(const std::map<int, WatchedItem>& table) override;
  void ProgramsChanged(const std::map<int, WatchedItem>& table,
                       const ProgramTable& programs) override;
  void RestartBegins(const std::map<int, WatchedItem>& table,
                     const WatchedItem& restarting) override;

  // What the files would say now.
  StatusSnapshot Current(bool running);

 private:
  static void _Run(void* self);
  // Renders and writes both files. Called by Start before the thread
  // begins, by the writer thread, or by Stop once the thread has ended:
  // never by two threads at once.
  void _WriteFiles(bool running);
  // Writes when what the files show differs from the last write, or when
  // the period has passed since it. Called by the writer thread only.
  void _WriteIfDue();
  // Writes both files from snapshot and notes it as the last write.
  void _Write(const StatusSnapshot& snapshot);
  // REQUIRES: mutex held
  void _Copy(const std::map<int, WatchedItem>& table);

  const Settings settings;  // constant after construction
  OrderCounters& counters;  // constant after construction; atomics inside
  const long daemonPid;     // constant after construction
  const long started;       // constant after construction

  TaskMutex mutex;  // guards processes, passes, restarts and programs
  std::vector<StatusSnapshot::Process> processes;
  uint64_t passes = 0;
  std::map<std::string, uint64_t> restarts;
  std::vector<StatusSnapshot::Program> programs;
  StatusSnapshot::EntryCache printedEntries;  // the writer thread's (and Stop's) own

  // A new copy arrived, or Stop was called. Steady: the period must not wait
  // out a time of day set back.
  TaskEvent wake{TaskEvent::Clock::Steady};
  std::atomic<bool> stopping{false};       // set by Stop
  std::atomic<bool> threadRunning{false};  // from Start's launch to the thread's end
  std::atomic<bool> stopped{false};        // Stop has run
  ThreadLauncher launcher;                 // used by Start only
  // The files and whether the last write of each failed (one log line per
  // run of failures). Used by whichever thread runs _WriteFiles.
  AtomicFile statusFile;
  AtomicFile metricsFile;
  bool statusFailing = false;
  bool metricsFailing = false;
  // The last snapshot written and when; used by whichever thread runs
  // _WriteFiles.
  StatusSnapshot written;
  std::chrono::steady_clock::time_point writtenAt;
};

// Logs one Warning when group or others may write to the directory at path,
// naming its use ("log", "status"): a local user could plant files or links
// at the names the daemon writes there. Nothing when it is not a directory.
void WarnIfOpenToOthers(const std::string& path, const char* purpose);

#endif  // VIGILD_COLLECTOR_STATUSWRITER_H
