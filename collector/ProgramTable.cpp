#include "ProgramTable.h"

#include <time.h>

#include <algorithm>
#include <memory>
#include <random>

ProgramTable::ProgramTable(const Settings& settings, std::function<double()> jitterSource)
    : current(settings), jitter(std::move(jitterSource)) {
  if (!jitter) {
    auto engine = std::make_shared<std::minstd_rand>(static_cast<unsigned>(time(nullptr)));
    jitter = [engine] { return std::uniform_real_distribution<double>(-1.0, 1.0)(*engine); };
  }
}

const char* ProgramTable::ReasonName(RestartReason why) {
  switch (why) {
    case NoHeartbeat:
      return "no heartbeat";
    case WorkingSet:
      return "working set";
    case Growth:
      return "growth";
    case Errors:
      return "errors";
    case Probe:
      return "probe";
    case Exit:
      return "exit";
    default:
      return "";
  }
}

ProgramTable::Record& ProgramTable::_Touch(const std::string& name, int64_t nowMs) {
  auto found = records.find(name);
  if (found == records.end()) {
    if (records.size() >= kMaxNames) {
      auto oldest = records.end();
      for (auto it = records.begin(); it != records.end(); ++it) {
        if (!it->second.failed && !it->second.stopped && !it->second.defined &&
            it->second.startAtMs < 0 &&
            (oldest == records.end() || it->second.touchedMs < oldest->second.touchedMs)) {
          oldest = it;
        }
      }
      if (oldest != records.end()) {
        records.erase(oldest);
      }
    }
    found = records.emplace(name, Record()).first;
  }
  found->second.touchedMs = nowMs;
  return found->second;
}

void ProgramTable::_Prune(Record& record, int64_t nowMs) const {
  while (!record.recent.empty() && nowMs - record.recent.front() >= current.windowMs) {
    record.recent.pop_front();
  }
}

bool ProgramTable::Registered(const WatchedItem& item, int64_t nowMs, long nowUtc) {
  Record& record = _Touch(item.settings.psName.chars(), nowMs);
  if (record.failed) {
    record.failed = false;
    record.recent.clear();
  }
  record.startAtMs = -1;
  record.watchingSince = nowUtc;
  record.last = item;
  const bool restarted = record.launchedAtMs >= 0;
  record.launchedAtMs = -1;
  return restarted;
}

void ProgramTable::RestartBegins(const WatchedItem& item, RestartReason why,
                                 const std::string& exitText, int64_t nowMs) {
  Record& record = _Touch(item.settings.psName.chars(), nowMs);
  record.last = item;
  // An operator's stop or restart (no reason) is no failure of the program:
  // like the service manager's restart counter, only the daemon's own count.
  if (why == NoReason) {
    return;
  }
  ++record.restarts;
  record.lastReason = why;
  if (why == Exit) {
    record.lastExit = exitText;
  }
}

ProgramTable::Decision ProgramTable::Stopped(const WatchedItem& item, int64_t nowMs) {
  Record& record = _Touch(item.settings.psName.chars(), nowMs);
  record.last = item;
  _Prune(record, nowMs);
  Decision decision;
  if (current.limit > 0 && record.recent.size() >= static_cast<size_t>(current.limit)) {
    record.failed = true;
    record.startAtMs = -1;
    decision.failed = true;
    return decision;
  }
  // Doubled once for every restart still within the window, jittered, then
  // capped: a cap equal to the first delay gives that delay exactly.
  const double cap = static_cast<double>(std::max(current.maxDelayMs, current.firstDelayMs));
  double delay = static_cast<double>(std::max(0L, current.firstDelayMs));
  for (size_t i = 0; i < record.recent.size() && delay <= cap; ++i) {
    delay *= 2;
  }
  if (!record.recent.empty()) {
    delay *= 1.0 + 0.1 * std::max(-1.0, std::min(1.0, jitter()));
  }
  decision.delayMs = static_cast<long>(std::min(delay, cap));
  record.recent.push_back(nowMs);
  record.startAtMs = nowMs + decision.delayMs;
  return decision;
}

bool ProgramTable::Reset(const std::string& name, WatchedItem* start) {
  auto found = records.find(name);
  if (found == records.end()) {
    return false;
  }
  Record& record = found->second;
  const bool wasFailed = record.failed;
  record.failed = false;
  record.recent.clear();
  if (wasFailed && start != nullptr) {
    *start = record.last;
  }
  return wasFailed;
}

void ProgramTable::Started(const std::string& name, int64_t nowMs) {
  auto found = records.find(name);
  if (found != records.end()) {
    found->second.startAtMs = -1;
    found->second.launchedAtMs = nowMs;
  }
}

void ProgramTable::StartDropped(const std::string& name) {
  auto found = records.find(name);
  if (found != records.end()) {
    found->second.startAtMs = -1;
  }
}

bool ProgramTable::StartUnderWay(const std::string& name, int64_t nowMs,
                                 int64_t withinMs) const {
  const auto found = records.find(name);
  return found != records.end() && found->second.launchedAtMs >= 0 &&
         nowMs - found->second.launchedAtMs < withinMs;
}

void ProgramTable::Forget(const std::string& name) {
  auto found = records.find(name);
  if (found != records.end() && !found->second.defined && !found->second.stopped) {
    records.erase(found);
  }
}

void ProgramTable::SetStopped(const std::string& name, bool stopped, int64_t nowMs) {
  _Touch(name, nowMs).stopped = stopped;
}

void ProgramTable::SetDefined(const std::vector<std::string>& names, int64_t nowMs) {
  for (auto& entry : records) {
    entry.second.defined = false;
  }
  for (const std::string& name : names) {
    _Touch(name, nowMs).defined = true;
  }
}

bool ProgramTable::Stopped(const std::string& name) const {
  const Record* record = Find(name);
  return record != nullptr && record->stopped;
}

const ProgramTable::Record* ProgramTable::Find(const std::string& name) const {
  auto found = records.find(name);
  return found == records.end() ? nullptr : &found->second;
}
