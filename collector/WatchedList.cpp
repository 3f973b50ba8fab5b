#include "WatchedList.h"

#include <stdio.h>
#include <unistd.h>

#include <time.h>

#include <chrono>
#include <string>

#include "BError.h"
#include "CriticalSection.h"
#include "ListenPort.h"
#include "LogServer.h"
#include "LogStream.h"
#include "OrderCounters.h"
#include "ProcessStartTime.h"
#include "ProcessTools.h"
#include "RunAs.h"
#include "Sleep.h"
#include "SupervisionObserver.h"
#include "Timestamp.h"

WatchedList* pepoWatchedList = nullptr;

namespace {

// Debug records carry no code and no tag of their own and are not flushed:
// they follow the log thread's pace.
void ReportDebug(LogSeverityCode severity, const LogStream& text) {
  LogServer::Report(severity, nullptr, text.getText().chars());
}

// A failed process operation: flushed at once so it is on record even if
// the daemon dies during the long waits that follow.
void ReportFailure(const LogStream& text) {
  LogServer::Report(Error, "DL30000", text.getText().chars(), "GENERIC", true);
}

// What an operator follows at the default level, which shows warnings and
// errors only: each restart's commands and its new process.
void ReportEvent(const LogStream& text) {
  LogServer::Report(Warning, "DL30102", text.getText().chars(), "GENERIC", true);
}

const char kPass[] = "[WatchedList::ProcessBlock]";

// An item whose restart sequence waits or runs belongs to that sequence.
bool InSequence(const WatchedItem& item) { return item.state != ItemWatching; }

// Root acts on every item; anyone else only on its own.
bool MayActOn(long uid, long owner) { return uid == 0 || uid == owner; }

const char* RefusalText(WatchedList::Verdict why) {
  switch (why) {
    case WatchedList::BadPid:
      return "a pid below 1 names no single process";
    case WatchedList::NoSuchProcess:
      return "no such process";
    case WatchedList::NotOwnProcess:
      return "the process belongs to another user";
    case WatchedList::OtherUsersItem:
      return "the item was registered by another user";
    case WatchedList::OverCap:
      return "the user holds as many items as WATCHMGR.MAXWATCHESPERUSER allows";
    case WatchedList::UnknownUser:
      return "the client's user is unknown";
    case WatchedList::UnderRestart:
      return "the process is being restarted";
    case WatchedList::NotFound:
      return "no program file defines that name";
    case WatchedList::NotProgramsUser:
      return "only root and the program's user may give it";
    case WatchedList::NotDaemonsUser:
      return "only root and the daemon's user may give it";
    default:
      return "refused";
  }
}

}  // namespace

int WatchedList::ProcessServices::CheckPID(int pid) { return ::CheckPID(pid); }

bool WatchedList::ProcessServices::StartTime(int pid, unsigned long long& ticks) {
  return ProcessStartTime::Read(pid, ticks);
}

int WatchedList::ProcessServices::CommandLunch(String& command, int mode) {
  return ::CommandLunch(command, mode);
}

int WatchedList::ProcessServices::CommandLunchAs(String& command, int mode, const RunAs* as) {
  return as == nullptr ? CommandLunch(command, mode) : ::CommandLunch(command, mode, as);
}

bool WatchedList::ProcessServices::ProcessRealUid(int pid, uid_t& uid) {
  return RunAs::ProcessRealUid(pid, uid);
}

uid_t WatchedList::ProcessServices::DaemonUid() { return geteuid(); }

WatchedList::ProcessServices* WatchedList::ProcessServices::Default() {
  static ProcessServices real;
  return &real;
}

int StopProcess(int pid, WatchedList::ProcessServices& services) {
  return KillProcess(pid, [&services](String& command) {
    return services.CommandLunchAs(command, 1, nullptr);
  });
}

int StopProcess(int pid) { return StopProcess(pid, *WatchedList::ProcessServices::Default()); }

WatchedList::WatchedList(ProcessServices* processServices)
    : WatchedList(processServices, Waits()) {}

WatchedList::WatchedList(ProcessServices* processServices, const Waits& cycleWaits)
    : runState(0),
      services(processServices != nullptr ? processServices : ProcessServices::Default()),
      waits(cycleWaits) {
  ProgramTable::Settings settings;
  settings.firstDelayMs = static_cast<long>(waits.restartPauseMs);
  programs.SetSettings(settings);
}

void WatchedList::SetRestartSettings(const ProgramTable::Settings& settings) {
  CriticalSection hold(&mutex);
  programs.SetSettings(settings);
}

int64_t WatchedList::_NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void WatchedList::_ProgramsChanged() {
  if (SupervisionObserver* onlooker = observer.load()) {
    onlooker->ProgramsChanged(table, programs);
  }
}

WatchedList::~WatchedList() {
  // No worker may touch the table once it goes.
  workers.Close();
}

int WatchedList::Lock() {
  mutex.Lock();
  return 1;
}

int WatchedList::Unlock() {
  mutex.Unlock();
  return 1;
}

WatchedList::Verdict WatchedList::Watch(WatchedItem& item, long uid) {
  const int pid = item.info.pid;
  if (pid < 1) {
    return Refuse("watch", pid, uid, BadPid);
  }
  // The process is looked at before the table is locked: reading /proc
  // must not add to the time a supervision pass keeps clients waiting.
  unsigned long long started = 0;
  if (services->CheckPID(pid) != 1 || !services->StartTime(pid, started)) {
    // Kept a short while: a wrapper whose program died at once follows
    // this order with the program's end report.
    {
      CriticalSection hold(&mutex);
      const int64_t now = _NowMs();
      for (auto it = goneAtRegistration.begin(); it != goneAtRegistration.end();) {
        it = now - it->second.second > kGoneMemorySeconds * 1000L ? goneAtRegistration.erase(it)
                                                                    : std::next(it);
      }
      if (goneAtRegistration.size() < kGoneMemory) {
        WatchedItem gone = item;
        gone.ownerUid = uid;
        gone.startTime = WatchedItem::kGoneAtRegistration;
        goneAtRegistration[pid] = std::make_pair(gone, now);
      }
    }
    return Refuse("watch", pid, uid, NoSuchProcess);
  }
  if (uid > 0) {
    uid_t real = 0;
    if (!services->ProcessRealUid(pid, real)) {
      return Refuse("watch", pid, uid, NoSuchProcess);
    }
    if (static_cast<long>(real) != uid) {
      return Refuse("watch", pid, uid, NotOwnProcess);
    }
  }
  Verdict verdict = Done;
  bool restarted = false;
  {
    CriticalSection hold(&mutex);
    auto it = table.find(pid);
    const bool replacesOwn = it != table.end() && it->second.ownerUid == uid;
    const long cap = maxWatchesPerUser.load();
    if (it != table.end() && !MayActOn(uid, it->second.ownerUid)) {
      verdict = OtherUsersItem;
    } else if (it != table.end() && InSequence(it->second) &&
               (it->second.startTime < 0 ||
                it->second.startTime == static_cast<long long>(started))) {
      verdict = UnderRestart;
    } else if (uid > 0 && cap >= 0 && !replacesOwn &&
               _CountOwnedBy(uid) >= static_cast<size_t>(cap)) {
      verdict = OverCap;
    } else {
      if (it != table.end()) {
        table.erase(it);
      }
      item.ownerUid = uid;
      item.startTime = static_cast<long long>(started);
      item.lastSeen.SetNow();
      item.state = ItemWatching;
      item.sequence = 0;
      table.emplace(pid, item);
      restarted = programs.Registered(item, _NowMs(), static_cast<long>(time(nullptr)));
      _ProgramsChanged();
    }
  }
  if (restarted) {
    LogStream text;
    text << kPass << " WARNING : " << item.settings.psName << " restarted: new process ID "
         << pid;
    ReportEvent(text);
  }
  return verdict == Done ? Done : Refuse("watch", pid, uid, verdict);
}

WatchedList::Verdict WatchedList::Beat(ProcessInfo& info, long uid, const EndReport* end) {
  Verdict verdict = NotFound;
  SequencePtr begun;
  String name;
  {
    CriticalSection hold(&mutex);
    auto it = table.find(info.pid);
    const bool ends = end != nullptr && end->reason != NoReason;
    auto gone = ends && it == table.end() ? goneAtRegistration.find(info.pid)
                                          : goneAtRegistration.end();
    const long cap = maxWatchesPerUser.load();
    if (gone != goneAtRegistration.end() && MayActOn(uid, gone->second.first.ownerUid) &&
        _NowMs() - gone->second.second <= kGoneMemorySeconds * 1000L &&
        !(uid > 0 && cap >= 0 && _CountOwnedBy(uid) >= static_cast<size_t>(cap))) {
      // Its watch order was refused for a process already gone: the
      // registration is taken now, for the restart alone. Its start time
      // marks it gone, so whatever holds the pid meanwhile is never touched.
      WatchedItem item = gone->second.first;
      goneAtRegistration.erase(gone);
      item.info = info;
      item.lastSeen.SetNow();
      item.state = ItemWatching;
      programs.Registered(item, _NowMs(), static_cast<long>(time(nullptr)));
      it = table.emplace(info.pid, item).first;
    }
    if (it != table.end() && !InSequence(it->second)) {
      if (!MayActOn(uid, it->second.ownerUid)) {
        verdict = OtherUsersItem;
      } else {
        WatchedItem& item = it->second;
        item.info = info;
        item.lastSeen.SetNow();
        verdict = Done;
        if (end != nullptr && end->reason != NoReason) {
          // Acted on at once: the process is gone or useless, and the pass
          // would only find out when its heartbeats stop.
          item.state = ItemWaiting;
          item.sequence = ++sequences;
          name = item.settings.psName;
          begun = std::make_shared<Sequence>(
              Restart{info.pid, item.sequence, end->reason, end->exitText, nullptr});
          _ProgramsChanged();
        }
      }
    }
  }
  if (begun) {
    LogStream text;
    text << "[WatchedList] ERROR : process #" << info.pid << " " << name
         << (end->reason == Exit ? " ended: " : " is unhealthy: ")
         << (end->reason == Exit ? end->exitText.c_str() : "its probe failed");
    ReportFailure(text);
    workers.Post([this, begun] { _RunStep(begun, &WatchedList::_StepBegin); });
  }
  return verdict == OtherUsersItem ? Refuse("msg", info.pid, uid, verdict) : verdict;
}

WatchedList::Verdict WatchedList::Reset(const std::string& name, long uid) {
  Verdict verdict = NotFound;
  SequencePtr again;
  {
    CriticalSection hold(&mutex);
    const ProgramTable::Record* record = programs.Find(name);
    if (record != nullptr) {
      if (!MayActOn(uid, record->last.ownerUid)) {
        verdict = OtherUsersItem;
      } else {
        WatchedItem start;
        if (programs.Reset(name, &start)) {
          again = std::make_shared<Sequence>(Restart{0, 0, NoReason, std::string(), nullptr});
          again->item = start;
        }
        _ProgramsChanged();
        verdict = Done;
      }
    }
  }
  if (verdict == OtherUsersItem) {
    return Refuse("reset", 0, uid, verdict, name);
  }
  if (verdict == Done) {
    LogStream text;
    text << "[WatchedList] INFO : " << name.c_str() << " reset"
         << (again ? ": it starts again" : ": its restart history is cleared");
    LogServer::Report(Info, "DL31001", text.getText().chars(), "GENERIC", true);
  }
  if (again) {
    workers.Post([this, again] { _RunStep(again, &WatchedList::_StepStartAgain); });
  }
  return verdict;
}

size_t WatchedList::StopName(const std::string& name, std::function<void()> stopped) {
  // Runs the callback when the last sequence holding it lets it go.
  struct Waiter {
    explicit Waiter(std::function<void()> then) : done(std::move(then)) {}
    ~Waiter() {
      if (done) {
        done();
      }
    }
    std::function<void()> done;
  };
  auto waiter = std::make_shared<Waiter>(std::move(stopped));
  std::vector<SequencePtr> begun;
  {
    CriticalSection hold(&mutex);
    programs.SetStopped(name, true, _NowMs());
    for (auto& entry : table) {
      WatchedItem& item = entry.second;
      if (InSequence(item) || name != item.settings.psName.chars()) {
        continue;
      }
      item.state = ItemWaiting;
      item.sequence = ++sequences;
      begun.push_back(std::make_shared<Sequence>(
          Restart{entry.first, item.sequence, NoReason, std::string(), waiter}));
    }
    _ProgramsChanged();
  }
  waiter.reset();
  for (const SequencePtr& sequence : begun) {
    workers.Post([this, sequence] { _RunStep(sequence, &WatchedList::_StepBegin); });
  }
  return begun.size();
}

void WatchedList::ClearStopped(const std::string& name) {
  CriticalSection hold(&mutex);
  programs.SetStopped(name, false, _NowMs());
  programs.Reset(name, nullptr);
  _ProgramsChanged();
}

void WatchedList::MarkStopped(const std::string& name) {
  CriticalSection hold(&mutex);
  programs.SetStopped(name, true, _NowMs());
  _ProgramsChanged();
}

void WatchedList::SetDefined(const std::vector<std::string>& names) {
  CriticalSection hold(&mutex);
  programs.SetDefined(names, _NowMs());
  _ProgramsChanged();
}

bool WatchedList::StartUnderWay(const std::string& name, int64_t withinMs) {
  CriticalSection hold(&mutex);
  return programs.StartUnderWay(name, _NowMs(), withinMs);
}

size_t WatchedList::CountNamed(const std::string& name) {
  CriticalSection hold(&mutex);
  size_t count = 0;
  for (const auto& entry : table) {
    count += name == entry.second.settings.psName.chars() ? 1 : 0;
  }
  return count;
}

WatchedList::Verdict WatchedList::Forget(int pid, long uid) {
  Verdict verdict = NotFound;
  {
    CriticalSection hold(&mutex);
    auto it = table.find(pid);
    if (it != table.end() && !InSequence(it->second)) {
      if (!MayActOn(uid, it->second.ownerUid)) {
        verdict = OtherUsersItem;
      } else {
        const String name = it->second.settings.psName;
        table.erase(it);
        bool named = false;
        for (const auto& entry : table) {
          named = named || entry.second.settings.psName == name;
        }
        if (!named) {
          programs.Forget(name.chars());
        }
        _ProgramsChanged();
        verdict = Done;
      }
    }
  }
  return verdict == OtherUsersItem ? Refuse("mgmt", pid, uid, verdict) : verdict;
}

WatchedList::Verdict WatchedList::Refuse(const char* order, int pid, long uid, Verdict why,
                                         const std::string& name) {
  // A refused order is a protocol error whether or not its line is logged.
  OrderCounters::Daemon().CountProtocolError();
  const std::string who = std::to_string(uid);
  bool overflowed = false;
  if (refusals.Allow(who + " " + order + " " + std::to_string(static_cast<int>(why)),
                     &overflowed)) {
    LogStream text;
    text << "[WatchedList] WARNING : " << order << " order for "
         << (name.empty() ? "pid " + std::to_string(pid) : name).c_str() << " from uid "
         << who.c_str() << " refused: " << RefusalText(why)
         << (overflowed ? " (and refusals of other users)" : "");
    LogServer::Report(Warning, "DL30102", text.getText().chars(), "GENERIC", true);
  }
  return why;
}

size_t WatchedList::_CountOwnedBy(long uid) const {
  size_t count = 0;
  for (const auto& entry : table) {
    count += entry.second.ownerUid == uid ? 1 : 0;
  }
  return count;
}

int WatchedList::CreateNewWatch(WatchedItem& item) {
  const int pid = item.info.pid;
  unsigned long long started = 0;
  item.startTime = services->StartTime(pid, started) ? static_cast<long long>(started) : -1;
  CriticalSection hold(&mutex);
  table.erase(pid);
  item.lastSeen.SetNow();
  item.state = ItemWatching;
  item.sequence = 0;
  table.emplace(pid, item);
  programs.Registered(item, _NowMs(), static_cast<long>(time(nullptr)));
  _ProgramsChanged();
  return 1;
}

int WatchedList::DeleteWatch(int pid) {
  CriticalSection hold(&mutex);
  table.erase(pid);
  return 1;
}

int WatchedList::UpdateWatchedItem(ProcessInfo& info) {
  CriticalSection hold(&mutex);
  auto it = table.find(info.pid);
  if (it == table.end()) {
    return 0;
  }
  it->second.info = info;
  it->second.lastSeen.SetNow();
  return 1;
}

std::map<int, WatchedItem> WatchedList::Snapshot() {
  CriticalSection hold(&mutex);
  return table;
}

size_t WatchedList::Size() {
  CriticalSection hold(&mutex);
  return table.size();
}

int WatchedList::ProcessBlock(ListenPort* port) {
  runState = ListRunning;
  workers.Open();
  // Whichever way the loop ends, no sequence goes on after it: the caller
  // may destroy the listener, the observer and the list right away.
  struct CloseWorkers {
    ~CloseWorkers() { list->workers.Close(); }
    WatchedList* list;
  } closeWorkers{this};
  int timeToLive = waits.timeToLive;
  try {
    while (timeToLive > 0 && runState == ListRunning) {
      if (port == nullptr || port->state.load() != ListenPort::kRunning) {
        break;
      }
      std::vector<Restart> found;
      PassSummary summary;
      {
        CriticalSection hold(&mutex);
        _Pass(timeToLive, found);
        if (passListener) {
          summary = PassSummary::Of(table, programs);
        }
        if (SupervisionObserver* onlooker = observer.load()) {
          onlooker->PassEnded(table);
        }
        if (!found.empty()) {
          _ProgramsChanged();
        }
      }
      // Handed over once the table is free again: a job may begin at once,
      // and it takes the table's mutex first thing.
      for (const Restart& restart : found) {
        const SequencePtr sequence = std::make_shared<Sequence>(restart);
        workers.Post([this, sequence] { _RunStep(sequence, &WatchedList::_StepBegin); });
      }
      if (passListener) {
        passListener(summary);
      }
      _RethrowSequenceFailure();
      Sleep(waits.passSleepMs);
    }
    workers.Close();
    _RethrowSequenceFailure();
  } catch (BError& error) {
    runState = ListEnded;
    error.AddErrorLine(1, "WatchedList::ProcessBlock");
    throw BError(error);
  } catch (...) {
    runState = ListEnded;
    throw;
  }
  runState = ListEnded;
  return 1;
}

void WatchedList::_RethrowSequenceFailure() {
  BError first;
  {
    CriticalSection hold(&failureMutex);
    if (!failed) {
      return;
    }
    failed = false;
    first = sequenceError;
  }
  throw first;
}

void WatchedList::_Pass(int& timeToLive, std::vector<Restart>& found) {
  // The pass's own lines are built only when someone reads them: a quiet
  // daemon's passes are most of its idle work.
  const bool traced = LogServer::Instance()->isAcceptableSeverity(Debug3);
  if (!table.empty()) {
    if (traced) {
      LogStream text;
      text << kPass << " INFO : Checking ProcessList : " << static_cast<unsigned>(table.size())
           << " items";
      ReportDebug(Debug3, text);
    }
    timeToLive = 1;
  } else {
    if (traced) {
      LogStream text;
      text << kPass << " INFO : Empty Process List (time to live " << timeToLive << " s)";
      ReportDebug(Debug3, text);
    }
    if (!keepAlive.load()) {
      --timeToLive;
    }
  }

  for (auto& entry : table) {
    WatchedItem& item = entry.second;
    if (traced) {
      Timestamp now;
      now.SetNow();
      LogStream text;
      text << kPass << " INFO : Checking item : " << item.settings.psName
           << ", pid=" << item.info.pid << ", last seen=" << (now - item.lastSeen);
      ReportDebug(Debug3, text);
    }
    RestartReason why = NoReason;
    if (item.state != ItemWatching || item.IsSomethingWrong(&why) != 1) {
      continue;
    }
    item.lastSeen.SetNow();
    item.state = ItemWaiting;
    item.sequence = ++sequences;
    found.push_back(Restart{entry.first, item.sequence, why, std::string(), nullptr});
  }
}

bool WatchedList::_SetState(const Restart& restart, WatchState state, WatchedItem* copy) {
  CriticalSection hold(&mutex);
  auto it = table.find(restart.pid);
  if (it == table.end() || it->second.sequence != restart.sequence) {
    return false;
  }
  WatchedItem& item = it->second;
  item.state = state;
  if (state == ItemRestarting) {
    item.lastSeen.SetNow();
    programs.RestartBegins(item, restart.why, restart.exitText, _NowMs());
    if (SupervisionObserver* onlooker = observer.load()) {
      onlooker->RestartBegins(table, item);
    }
  }
  _ProgramsChanged();
  if (copy != nullptr) {
    *copy = item;
  }
  return true;
}

void WatchedList::_RunStep(const SequencePtr& sequence, Step step) {
  StepOutcome outcome = SequenceEnds;
  try {
    outcome = workers.Closing() ? SequenceAbandoned : (this->*step)(sequence);
    if (outcome == SequenceAbandoned && sequence->begun) {
      LogStream text;
      text << kPass << " WARNING : restart of " << sequence->item.settings.psName << " (pid "
           << sequence->restart.pid << ") abandoned: the supervision loop ends";
      LogServer::Report(Warning, "DL30102", text.getText().chars(), "GENERIC", true);
    }
  } catch (BError& error) {
    outcome = SequenceEnds;
    CriticalSection hold(&failureMutex);
    if (!failed) {
      failed = true;
      sequenceError = error;
    }
  } catch (const std::exception& error) {
    outcome = SequenceEnds;
    LogStream text;
    text << kPass << " ERROR : restart of pid " << sequence->restart.pid
         << " failed: " << error.what();
    ReportFailure(text);
  }
  if (outcome == SequenceGoesOn) {
    return;
  }
  // The item leaves the table with its sequence, whichever way that ended.
  CriticalSection hold(&mutex);
  auto it = table.find(sequence->restart.pid);
  if (it != table.end() && it->second.sequence == sequence->restart.sequence) {
    table.erase(it);
    // A name whose last process left shows so (stopped, or restarting
    // until its new process registers).
    _ProgramsChanged();
  }
}

WatchedList::StepOutcome WatchedList::_After(const SequencePtr& sequence, unsigned ms, Step step) {
  workers.PostAfter(ms, [this, sequence, step] { _RunStep(sequence, step); });
  return SequenceGoesOn;
}

WatchedList::StepOutcome WatchedList::_StepBegin(const SequencePtr& sequence) {
  // Gone already when a new registration or the daemon's own DeleteWatch
  // took its place while it waited: nothing left to restart.
  if (!_SetState(sequence->restart, ItemRestarting, &sequence->item)) {
    return SequenceEnds;
  }
  sequence->begun = true;
  const WatchedItem& item = sequence->item;
  {
    LogStream text;
    text << kPass << " : " << item.settings.psName << " (pid " << item.info.pid
         << ") Stop  Cmd = '" << item.settings.psStop << "'";
    ReportEvent(text);
  }
  if (!sequence->restart.stopWaiter) {  // an operator's stop starts nothing
    LogStream text;
    text << kPass << " : " << item.settings.psName << " (pid " << item.info.pid
         << ") Start Cmd = '" << item.settings.psStart << "'";
    ReportEvent(text);
  }
  if (!_IdentityFor(item, sequence->identity, sequence->as)) {
    _SetState(sequence->restart, ItemFinished, nullptr);
    return SequenceEnds;
  }
  if (!_Alive(item)) {
    return _Stopped(sequence);
  }
  String stop(item.settings.psStop);
  if (!stop.empty()) {
    LogStream text;
    text << kPass << " INFO : STOPPING process with " << stop;
    ReportDebug(Debug1, text);
    if (services->CommandLunchAs(stop, 0, sequence->as) == 0) {
      LogStream failure;
      failure << kPass << " ERROR : Unable to STOP with " << stop;
      ReportFailure(failure);
    }
  }
  return _StepCheck(sequence);
}

WatchedList::StepOutcome WatchedList::_StepCheck(const SequencePtr& sequence) {
  const WatchedItem& item = sequence->item;
  const int attempts = sequence->killing ? waits.killAttempts : waits.graceAttempts;
  if (sequence->attempt >= attempts) {
    if (sequence->killing) {
      LogStream failure;
      failure << kPass << " ERROR : Process is still alive after Kill sequence";
      ReportFailure(failure);
      return _Stopped(sequence);
    }
    LogStream text;
    text << kPass << " INFO : KILLING process ID " << item.info.pid;
    ReportDebug(Debug1, text);
    if (_Kill(item, sequence->as) != 0) {
      LogStream signaled;
      signaled << kPass << " INFO , process has benn signaled successfully";
      ReportDebug(Debug2, signaled);
    } else {
      LogStream failure;
      failure << kPass << " ERROR : Unable to Kill PID " << item.settings.psName;
      ReportFailure(failure);
    }
    sequence->killing = true;
    sequence->attempt = 0;
    return _StepCheck(sequence);
  }
  if (!_Alive(item)) {
    LogStream text;
    text << kPass << " INFO , process pid has been removed.";
    ReportDebug(Debug2, text);
    return _Stopped(sequence);
  }
  LogStream text;
  text << kPass << " INFO , process pid is still in list ...";
  ReportDebug(Debug3, text);
  ++sequence->attempt;
  return _After(sequence, sequence->killing ? waits.killStepMs : waits.graceStepMs,
                &WatchedList::_StepCheck);
}

WatchedList::StepOutcome WatchedList::_Stopped(const SequencePtr& sequence) {
  ProgramTable::Decision decision;
  size_t limit = 0;
  long windowSeconds = 0;
  bool held = false;
  {
    CriticalSection hold(&mutex);
    // An operator's stop, or a stop that came while this restart ran: the
    // name stays down and its back-off is left as it was.
    held = programs.Stopped(sequence->item.settings.psName.chars());
    if (!held) {
      decision = programs.Stopped(sequence->item, _NowMs());
    }
    limit = static_cast<size_t>(programs.CurrentSettings().limit);
    windowSeconds = programs.CurrentSettings().windowMs / 1000;
  }
  _SetState(sequence->restart, ItemFinished, nullptr);
  if (held) {
    LogStream text;
    text << kPass << " INFO : " << sequence->item.settings.psName << " (pid "
         << sequence->item.info.pid << ") stopped; it is not started again until 'vigilctl start "
         << sequence->item.settings.psName << "'";
    LogServer::Report(Info, "DL31001", text.getText().chars(), "GENERIC", true);
    return SequenceEnds;
  }
  if (decision.failed) {
    LogStream failure;
    failure << kPass << " ERROR : " << sequence->item.settings.psName << " has failed: "
            << static_cast<unsigned>(limit) << " restarts within " << windowSeconds
            << " s; it is not started again until 'vigilctl reset "
            << sequence->item.settings.psName << "' or a new registration";
    ReportFailure(failure);
    return SequenceEnds;
  }
  return _After(sequence, static_cast<unsigned>(decision.delayMs), &WatchedList::_StepStart);
}

WatchedList::StepOutcome WatchedList::_StepStart(const SequencePtr& sequence) {
  {
    // Stopped during the delay before the start.
    CriticalSection hold(&mutex);
    if (programs.Stopped(sequence->item.settings.psName.chars())) {
      programs.StartDropped(sequence->item.settings.psName.chars());
      _ProgramsChanged();
      return SequenceEnds;
    }
  }
  String start(sequence->item.settings.psStart);
  LogStream text;
  text << kPass << " INFO , Starting new Process : " << start;
  ReportDebug(Debug2, text);
  // An empty start command is still handed to the shell: it only fails
  // there, and the attempt shows in the log.
  if (services->CommandLunchAs(start, 0, sequence->as) == 0) {
    LogStream failure;
    failure << kPass << " ERROR : Unable to START " << start;
    ReportFailure(failure);
  }
  CriticalSection hold(&mutex);
  programs.Started(sequence->item.settings.psName.chars(), _NowMs());
  _ProgramsChanged();
  return SequenceEnds;
}

WatchedList::StepOutcome WatchedList::_StepStartAgain(const SequencePtr& sequence) {
  if (!_IdentityFor(sequence->item, sequence->identity, sequence->as)) {
    return SequenceEnds;
  }
  return _StepStart(sequence);
}

bool WatchedList::_IdentityFor(const WatchedItem& item, RunAs& identity, const RunAs*& as) {
  as = nullptr;
  if (services->DaemonUid() != 0 || item.ownerUid <= 0) {
    return true;
  }
  std::string reason;
  if (!RunAs::ForUid(static_cast<uid_t>(item.ownerUid), identity, reason)) {
    LogStream failure;
    failure << kPass << " ERROR : " << item.settings.psName << " (pid " << item.info.pid
            << ") is neither stopped nor started, its owner's identity is unknown: "
            << reason.c_str();
    ReportFailure(failure);
    return false;
  }
  as = &identity;
  return true;
}

int WatchedList::_Kill(const WatchedItem& item, const RunAs* as) {
  const int pid = item.info.pid;
  // Checked again right before the signal: the stop command's grace wait
  // gives the pid time to change hands.
  if (!_Alive(item)) {
    return 1;  // gone meanwhile: nothing to kill
  }
  uid_t owner = 0;
  if (as != nullptr && !services->ProcessRealUid(pid, owner)) {
    return 1;  // gone meanwhile: nothing to kill
  }
  if (as != nullptr && owner != as->uid) {
    LogStream failure;
    failure << kPass << " ERROR : process ID " << pid << " belongs to uid "
            << static_cast<unsigned>(owner) << ", not to uid " << static_cast<unsigned>(as->uid)
            << " who registered it: kill -9 not sent";
    ReportFailure(failure);
    return 0;
  }
  return KillProcess(pid, [this, as](String& command) {
    return services->CommandLunchAs(command, 1, as);
  });
}

bool WatchedList::_Alive(const WatchedItem& item) {
  const int pid = item.info.pid;
  if (item.startTime == WatchedItem::kGoneAtRegistration) {
    return false;  // ended before it registered: the pid is someone else's
  }
  if (services->CheckPID(pid) != 1) {
    return false;
  }
  if (item.startTime < 0) {
    return true;  // registered without a readable start time: the pid is all there is
  }
  unsigned long long started = 0;
  return services->StartTime(pid, started) &&
         static_cast<long long>(started) == item.startTime;
}
