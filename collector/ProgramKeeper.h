// ProgramKeeper: the programs that program files define. It reads the
// program directory, starts each program through "vigilctl run" (the
// wrapper that is the program's parent, beats for it, captures its output
// and registers it again after a daemon restart) as the program's user, and
// carries out the operator's stop, start, restart and reload. Once started,
// a program is an item of the WatchedList like any other: the list judges,
// restarts, backs off and fails it.
//
// After the daemon starts, the keeper waits settleMs before it starts
// anything: wrappers still running from before re-register within that
// time (they retry every second), and a program with an item by then is
// adopted, not started again. The names an operator stopped are kept in the
// state file, so they stay stopped across daemon restarts.
//
// main owns the keeper and publishes it in pepoProgramKeeper for the order
// sessions. Its thread (Start to Stop) does every launch, every reload and
// every state-file write; the order sessions and the reload signal only
// queue requests, so none of them waits or runs a command. Safe for
// concurrent use: one mutex guards the definitions, the stopped names, the
// queue and the pending starts; it is never held while calling into the
// list, which takes its own.
#ifndef VIGILD_COLLECTOR_PROGRAMKEEPER_H
#define VIGILD_COLLECTOR_PROGRAMKEEPER_H

#include <sys/types.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>

#include "ProgramFile.h"
#include "RunAs.h"
#include "String.h"

class TlConfiguration;
class WatchedList;

class ProgramKeeper {
 public:
  // How long after the start wrappers from before have to register again.
  static constexpr unsigned kSettleMs = 3000;
  // How long a started program has to register before the keeper says so
  // (and would start it again on an operator's start).
  static constexpr unsigned kRegisterWaitMs = 10000;

  struct Settings {
    std::string directory;     // the program files
    std::string logDirectory;  // each program's output under NAME/
    std::string stateFile;     // the names an operator stopped
    std::string vigilctl;      // the wrapper's binary
    std::string socket;        // where the wrapper reaches the daemon; empty: TCP
    int port = 3003;
    uid_t daemonUid = 0;
    unsigned settleMs = kSettleMs;
    unsigned registerWaitMs = kRegisterWaitMs;
  };
  // Runs a command line in the background as `as` (null: the daemon's own
  // identity); 0 when nothing could be launched. Tests pass a double.
  using Launcher = std::function<int(String& command, const RunAs* as)>;

  // The settings from the configuration: WATCHMGR.PROGRAMDIR (default
  // ROOT_DIRECTORY/programs), WATCHMGR.PROGRAMLOGDIR (ROOT_DIRECTORY/log/programs),
  // WATCHMGR.PROGRAMSTATE (ROOT_DIRECTORY/programs.stopped) and
  // WATCHMGR.VIGILCTL (the vigilctl beside this daemon's binary); the
  // daemon's port and local socket are the wrapper's way back.
  static Settings SettingsFrom(const TlConfiguration& configuration, int port,
                               const std::string& socket);

  enum Verb { kStop, kStart, kRestart, kReload };
  enum Verdict { Accepted, Unknown, NotAllowed };

  // list must outlive the keeper. launcher null: the real one.
  ProgramKeeper(WatchedList& list, const Settings& settings, Launcher launcher = nullptr);
  ~ProgramKeeper();
  ProgramKeeper(const ProgramKeeper&) = delete;
  ProgramKeeper& operator=(const ProgramKeeper&) = delete;

  // Reads the program files and the state file, logging each bad file.
  // main calls it once, before the listener opens.
  void Load();
  // Tells the list which names are defined and stopped and starts the
  // keeper's thread; the settling time counts from here. main calls it once
  // the status writer observes the list.
  void Start();
  // Ends the thread; queued requests are dropped. Idempotent.
  void Stop();

  // An operator's order from uid (-1: unknown). kReload is allowed to root
  // and the daemon's own user, the others to root and the program's user
  // for a name a program file defines. Accepted orders are queued.
  Verdict Order(Verb verb, const std::string& name, long uid);
  // SIGHUP: queues a reload.
  void RequestReload();

  // A copy of the definitions, for tests and the status.
  std::map<std::string, ProgramDefinition> Definitions();
  // The stopped names, as the state file holds them.
  std::set<std::string> StoppedNames();

 private:
  // The thread's requests: an order, or a start after a stop that made
  // room for it.
  enum Request { kDoStop, kDoStart, kDoRestart, kDoReload, kDoLaunch };
  void _Run();
  void _Handle(Request request, const std::string& name);
  void _Post(Request request, const std::string& name);
  // Starts name unless it is stopped, has an item, or was started less than
  // kRegisterWaitMs ago and has not registered yet.
  void _StartIfDown(const std::string& name);
  void _Reload();
  void _SaveStopped();
  // Logs the programs started but not registered within kRegisterWaitMs.
  void _CheckPending();
  static int64_t _NowMs();

  WatchedList& list;
  const Settings settings;  // constant after construction
  const Launcher launcher;  // constant after construction

  std::mutex mutex;  // guards the fields below
  std::condition_variable wake;
  std::map<std::string, ProgramDefinition> definitions;
  std::set<std::string> stopped;
  std::deque<std::pair<Request, std::string>> queue;
  std::map<std::string, int64_t> pending;  // started, not yet registered: by when it must
  bool closing = false;
  std::thread thread;  // started by Start, joined by Stop
};

// The daemon's one keeper: set by main before the listener starts its
// client threads, null when there is none.
extern ProgramKeeper* pepoProgramKeeper;

#endif  // VIGILD_COLLECTOR_PROGRAMKEEPER_H
