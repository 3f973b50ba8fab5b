#include "WatchedList.h"

#include <stdio.h>
#include <unistd.h>

#include <string>

#include "BError.h"
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

const char kPass[] = "[WatchedList::ProcessBlock]";

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
  // Room for "kill -9 " and the longest int with its sign.
  char buffer[32];
  snprintf(buffer, sizeof buffer, "kill -9 %d", pid);
  String command(buffer);
  // "kill -9" of 0 or of a negative number signals a whole process group,
  // the daemon's own included: such a pid is refused like a failed launch.
  if (pid < 1 || services.CommandLunch(command, 1) == 0) {
    LogStream text;
    text << "[StopProcess] ERROR : Unable to kill process : " << command;
    ReportFailure(text);
    return 0;
  }
  return 1;
}

int StopProcess(int pid) { return StopProcess(pid, *WatchedList::ProcessServices::Default()); }

WatchedList::WatchedList(ProcessServices* processServices)
    : WatchedList(processServices, Waits()) {}

WatchedList::WatchedList(ProcessServices* processServices, const Waits& cycleWaits)
    : runState(0),
      services(processServices != nullptr ? processServices : ProcessServices::Default()),
      waits(cycleWaits) {}

WatchedList::~WatchedList() = default;

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
  Lock();
  try {
    auto it = table.find(pid);
    const bool replacesOwn = it != table.end() && it->second.ownerUid == uid;
    const long cap = maxWatchesPerUser.load();
    if (it != table.end() && !MayActOn(uid, it->second.ownerUid)) {
      verdict = OtherUsersItem;
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
      table.emplace(pid, item);
    }
  } catch (BError& error) {
    Unlock();
    error.AddErrorLine(1, "WatchedList::Watch");
    throw BError(error);
  }
  Unlock();
  return verdict == Done ? Done : Refuse("watch", pid, uid, verdict);
}

WatchedList::Verdict WatchedList::Beat(ProcessInfo& info, long uid) {
  Verdict verdict = NotFound;
  Lock();
  try {
    auto it = table.find(info.pid);
    if (it != table.end()) {
      if (!MayActOn(uid, it->second.ownerUid)) {
        verdict = OtherUsersItem;
      } else {
        it->second.info = info;
        it->second.lastSeen.SetNow();
        verdict = Done;
      }
    }
  } catch (BError& error) {
    Unlock();
    error.AddErrorLine(1, "WatchedList::Beat");
    throw BError(error);
  }
  Unlock();
  return verdict == OtherUsersItem ? Refuse("msg", info.pid, uid, verdict) : verdict;
}

WatchedList::Verdict WatchedList::Forget(int pid, long uid) {
  Verdict verdict = NotFound;
  Lock();
  try {
    auto it = table.find(pid);
    if (it != table.end()) {
      if (!MayActOn(uid, it->second.ownerUid)) {
        verdict = OtherUsersItem;
      } else {
        table.erase(it);
        verdict = Done;
      }
    }
  } catch (BError& error) {
    Unlock();
    error.AddErrorLine(1, "WatchedList::Forget");
    throw BError(error);
  }
  Unlock();
  return verdict == OtherUsersItem ? Refuse("mgmt", pid, uid, verdict) : verdict;
}

WatchedList::Verdict WatchedList::Refuse(const char* order, int pid, long uid, Verdict why) {
  // A refused order is a protocol error whether or not its line is logged.
  OrderCounters::Daemon().CountProtocolError();
  const std::string who = std::to_string(uid);
  bool overflowed = false;
  if (refusals.Allow(who + " " + order + " " + std::to_string(static_cast<int>(why)),
                     &overflowed)) {
    LogStream text;
    text << "[WatchedList] WARNING : " << order << " order for pid " << pid << " from uid "
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
  Lock();
  try {
    table.erase(pid);
    item.lastSeen.SetNow();
    item.state = ItemWatching;
    table.emplace(pid, item);
  } catch (BError& error) {
    Unlock();
    error.AddErrorLine(1, "WatchedList::CreateNewWatch");
    throw BError(error);
  }
  Unlock();
  return 1;
}

int WatchedList::DeleteWatch(int pid) {
  Lock();
  try {
    table.erase(pid);
  } catch (BError& error) {
    Unlock();
    error.AddErrorLine(1, "WatchedList::DeleteWatch");
    throw BError(error);
  }
  Unlock();
  return 1;
}

int WatchedList::UpdateWatchedItem(ProcessInfo& info) {
  int found = 0;
  Lock();
  try {
    auto it = table.find(info.pid);
    if (it != table.end()) {
      it->second.info = info;
      it->second.lastSeen.SetNow();
      found = 1;
    }
  } catch (BError& error) {
    Unlock();
    error.AddErrorLine(1, "WatchedList::UpdateWatchedItem");
    throw BError(error);
  }
  Unlock();
  return found;
}

std::map<int, WatchedItem> WatchedList::Snapshot() {
  Lock();
  std::map<int, WatchedItem> copy(table);
  Unlock();
  return copy;
}

size_t WatchedList::Size() {
  Lock();
  const size_t size = table.size();
  Unlock();
  return size;
}

int WatchedList::ProcessBlock(ListenPort* port) {
  runState = ListRunning;
  int timeToLive = waits.timeToLive;
  bool locked = false;
  try {
    while (timeToLive > 0 && runState == ListRunning) {
      if (port == nullptr || port->state.load() != ListenPort::kRunning) {
        break;
      }
      Lock();
      locked = true;
      _Pass(timeToLive);
      if (SupervisionObserver* onlooker = observer.load()) {
        onlooker->PassEnded(table);
      }
      locked = false;
      Unlock();
      Sleep(waits.passSleepMs);
    }
  } catch (BError& error) {
    if (locked) {
      Unlock();
    }
    runState = ListEnded;
    error.AddErrorLine(1, "WatchedList::ProcessBlock");
    throw BError(error);
  }
  runState = ListEnded;
  return 1;
}

void WatchedList::_Pass(int& timeToLive) {
  int restarted = 0;
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
    --timeToLive;
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
    if (item.state != ItemWatching || item.IsSomethingWrong() != 1) {
      continue;
    }
    _Restart(item);
    ++restarted;
  }

  // Restarted items stay in the table until the walk is over, so the walk
  // never steps on an erased entry.
  for (int i = 0; i < restarted; ++i) {
    for (auto it = table.begin(); it != table.end(); ++it) {
      if (it->second.state == ItemFinished) {
        table.erase(it);
        break;
      }
    }
  }
}

void WatchedList::_Restart(WatchedItem& item) {
  const int pid = item.info.pid;
  item.lastSeen.SetNow();
  item.state = ItemRestarting;
  // Shown before the waits begin, so an onlooker sees the restart while the
  // table stays locked for minutes.
  if (SupervisionObserver* onlooker = observer.load()) {
    onlooker->RestartBegins(table, item);
  }
  String stop(item.settings.psStop);
  String start(item.settings.psStart);
  {
    LogStream text;
    text << kPass << " : Stop  Cmd = '" << stop << "'";
    ReportDebug(Debug1, text);
  }
  {
    LogStream text;
    text << kPass << " : Start Cmd = '" << start << "'";
    ReportDebug(Debug1, text);
  }

  RunAs identity;
  const RunAs* as = nullptr;
  if (!_IdentityFor(item, identity, as)) {
    item.state = ItemFinished;
    return;
  }

  if (_Alive(item)) {
    if (!stop.empty()) {
      LogStream text;
      text << kPass << " INFO : STOPPING process with " << stop;
      ReportDebug(Debug1, text);
      if (services->CommandLunchAs(stop, 0, as) == 0) {
        LogStream failure;
        failure << kPass << " ERROR : Unable to STOP with " << stop;
        ReportFailure(failure);
      }
    }
    if (_WaitGone(item, waits.graceAttempts, waits.graceStepMs) == 0) {
      LogStream text;
      text << kPass << " INFO : KILLING process ID " << pid;
      ReportDebug(Debug1, text);
      if (_Kill(item, as) != 0) {
        LogStream signaled;
        signaled << kPass << " INFO , process has benn signaled successfully";
        ReportDebug(Debug2, signaled);
      } else {
        LogStream failure;
        failure << kPass << " ERROR : Unable to Kill PID " << item.settings.psName;
        ReportFailure(failure);
      }
      if (_WaitGone(item, waits.killAttempts, waits.killStepMs) == 0) {
        LogStream failure;
        failure << kPass << " ERROR : Process is still alive after Kill sequence";
        ReportFailure(failure);
      }
    }
  }

  item.state = ItemFinished;
  Sleep(waits.restartPauseMs);

  LogStream text;
  text << kPass << " INFO , Starting new Process : " << start;
  ReportDebug(Debug2, text);
  // An empty start command is still handed to the shell: it only fails
  // there, and the attempt shows in the log.
  if (services->CommandLunchAs(start, 0, as) == 0) {
    LogStream failure;
    failure << kPass << " ERROR : Unable to START " << start;
    ReportFailure(failure);
  }
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
  if (as == nullptr) {
    return StopProcess(pid, *services);
  }
  uid_t owner = 0;
  if (!services->ProcessRealUid(pid, owner)) {
    return 1;  // gone meanwhile: nothing to kill
  }
  if (owner != as->uid) {
    LogStream failure;
    failure << kPass << " ERROR : process ID " << pid << " belongs to uid "
            << static_cast<unsigned>(owner) << ", not to uid " << static_cast<unsigned>(as->uid)
            << " who registered it: kill -9 not sent";
    ReportFailure(failure);
    return 0;
  }
  char buffer[32];
  snprintf(buffer, sizeof buffer, "kill -9 %d", pid);
  String command(buffer);
  if (pid < 1 || services->CommandLunchAs(command, 1, as) == 0) {
    LogStream text;
    text << "[StopProcess] ERROR : Unable to kill process : " << command;
    ReportFailure(text);
    return 0;
  }
  return 1;
}

bool WatchedList::_Alive(const WatchedItem& item) {
  const int pid = item.info.pid;
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

int WatchedList::_WaitGone(const WatchedItem& item, int attempts, unsigned stepMs) {
  for (int i = 0; i < attempts; ++i) {
    if (!_Alive(item)) {
      LogStream text;
      text << kPass << " INFO , process pid has been removed.";
      ReportDebug(Debug2, text);
      return 1;
    }
    LogStream text;
    text << kPass << " INFO , process pid is still in list ...";
    ReportDebug(Debug3, text);
    Sleep(stepMs);
  }
  return 0;
}
