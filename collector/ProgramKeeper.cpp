#include "ProgramKeeper.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <vector>

#include "AccessPolicy.h"
#include "AtomicFile.h"
#include "LogServer.h"
#include "ProcessTools.h"
#include "SystemError.h"
#include "TlConfiguration.h"
#include "WatchedList.h"

ProgramKeeper* pepoProgramKeeper = nullptr;

namespace {

// A program's wrapper registers, and its user gives orders for it, as that
// user: the users the files name are admitted with the configured ones.
void AdmitProgramUsers(const std::map<std::string, ProgramDefinition>& definitions) {
  AccessPolicy* policy = AccessPolicy::Current();
  if (policy == nullptr) {
    return;
  }
  std::set<uid_t> uids;
  for (const auto& entry : definitions) {
    uids.insert(entry.second.uid);
  }
  policy->SetProgramUsers(uids);
}

const char kWho[] = "[ProgramKeeper]";

void ReportError(const std::string& text) {
  LogServer::Report(Error, "DL30000", std::string(kWho) + " ERROR : " + text, "GENERIC", true);
}

void ReportInfo(const std::string& text) {
  LogServer::Report(Info, "DL31001", std::string(kWho) + " INFO : " + text, "GENERIC", true);
}

// Makes directory (mode 0755) and its missing parents.
bool MakeDirectories(const std::string& directory) {
  for (size_t slash = directory.find('/', 1);; slash = directory.find('/', slash + 1)) {
    const std::string part = directory.substr(0, slash);
    if (!part.empty() && mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
      return false;
    }
    if (slash == std::string::npos) {
      return true;
    }
  }
}

}  // namespace

ProgramKeeper::Settings ProgramKeeper::SettingsFrom(const TlConfiguration& configuration,
                                                    int port, const std::string& socket) {
  Settings out;
  std::string root;
  configuration.AtIfMissing("ROOT_DIRECTORY", root, "");
  if (!root.empty() && root.back() != '/') {
    root += '/';
  }
  char self[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  std::string beside = length > 0 ? std::string(self, static_cast<size_t>(length)) : "";
  beside = beside.substr(0, beside.rfind('/') + 1) + "vigilctl";
  configuration.AtIfMissing("WATCHMGR.PROGRAMDIR", out.directory, root + "programs");
  configuration.AtIfMissing("WATCHMGR.PROGRAMLOGDIR", out.logDirectory, root + "log/programs");
  configuration.AtIfMissing("WATCHMGR.PROGRAMSTATE", out.stateFile, root + "programs.stopped");
  configuration.AtIfMissing("WATCHMGR.VIGILCTL", out.vigilctl, beside);
  while (out.logDirectory.size() > 1 && out.logDirectory.back() == '/') {
    out.logDirectory.pop_back();
  }
  out.socket = socket;
  out.port = port;
  out.daemonUid = geteuid();
  return out;
}

ProgramKeeper::ProgramKeeper(WatchedList& watched, const Settings& keeperSettings,
                             Launcher launch)
    : list(watched),
      settings(keeperSettings),
      launcher(launch ? std::move(launch) : Launcher([](String& command, const RunAs* as) {
        return CommandLunch(command, 0, as);
      })) {}

ProgramKeeper::~ProgramKeeper() { Stop(); }

int64_t ProgramKeeper::_NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void ProgramKeeper::Load() {
  std::vector<std::string> errors;
  std::map<std::string, ProgramDefinition> read =
      ProgramFile::ReadDirectory(settings.directory, settings.daemonUid, &errors);
  for (const std::string& error : errors) {
    ReportError(error + "; that program is not started");
  }
  std::set<std::string> held;
  std::ifstream state(settings.stateFile);
  for (std::string name; std::getline(state, name);) {
    if (ProgramFile::ValidName(name)) {
      held.insert(name);
    }
  }
  std::vector<std::string> names;
  for (const auto& entry : read) {
    names.push_back(entry.first);
  }
  {
    std::lock_guard<std::mutex> hold(mutex);
    definitions = read;
    stopped = held;
  }
  list.SetKeepAlive(!names.empty());
  AdmitProgramUsers(read);
  ReportInfo(std::to_string(names.size()) + " program file(s) read from " + settings.directory);
}

void ProgramKeeper::Start() {
  std::vector<std::string> names;
  std::set<std::string> held;
  {
    std::lock_guard<std::mutex> hold(mutex);
    for (const auto& entry : definitions) {
      names.push_back(entry.first);
    }
    held = stopped;
  }
  // Told once the status writer listens, so that the status file lists
  // every defined program and every stopped one from the first write.
  list.SetDefined(names);
  for (const std::string& name : held) {
    list.MarkStopped(name);
  }
  std::lock_guard<std::mutex> hold(mutex);
  if (!thread.joinable() && !closing) {
    thread = std::thread([this] { _Run(); });
  }
}

void ProgramKeeper::Stop() {
  {
    std::lock_guard<std::mutex> hold(mutex);
    closing = true;
    queue.clear();
  }
  wake.notify_all();
  if (thread.joinable() && thread.get_id() != std::this_thread::get_id()) {
    thread.join();
  }
}

ProgramKeeper::Verdict ProgramKeeper::Order(Verb verb, const std::string& name, long uid) {
  if (uid < 0) {
    return NotAllowed;
  }
  Request request = kDoReload;
  {
    std::lock_guard<std::mutex> hold(mutex);
    if (verb == kReload) {
      if (uid != 0 && static_cast<uid_t>(uid) != settings.daemonUid) {
        return NotAllowed;
      }
    } else {
      const auto found = definitions.find(name);
      if (found == definitions.end()) {
        return Unknown;
      }
      if (uid != 0 && static_cast<uid_t>(uid) != found->second.uid) {
        return NotAllowed;
      }
      request = verb == kStop ? kDoStop : verb == kStart ? kDoStart : kDoRestart;
    }
  }
  _Post(request, name);
  return Accepted;
}

void ProgramKeeper::RequestReload() { _Post(kDoReload, std::string()); }

void ProgramKeeper::_Post(Request request, const std::string& name) {
  {
    std::lock_guard<std::mutex> hold(mutex);
    if (closing) {
      return;
    }
    queue.emplace_back(request, name);
  }
  wake.notify_all();
}

std::map<std::string, ProgramDefinition> ProgramKeeper::Definitions() {
  std::lock_guard<std::mutex> hold(mutex);
  return definitions;
}

std::set<std::string> ProgramKeeper::StoppedNames() {
  std::lock_guard<std::mutex> hold(mutex);
  return stopped;
}

void ProgramKeeper::_Run() {
  const auto settled =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(settings.settleMs);
  {
    // Orders that come meanwhile wait: a start now could copy a program
    // whose wrapper has yet to register.
    std::unique_lock<std::mutex> hold(mutex);
    wake.wait_until(hold, settled, [this] { return closing; });
    if (closing) {
      return;
    }
  }
  std::vector<std::string> names;
  for (const auto& entry : Definitions()) {
    names.push_back(entry.first);
  }
  for (const std::string& name : names) {
    _StartIfDown(name);
  }
  for (;;) {
    std::pair<Request, std::string> next;
    {
      std::unique_lock<std::mutex> hold(mutex);
      // Asleep until a request comes or the first pending start is due: an
      // idle daemon's keeper never wakes.
      const auto ready = [this] { return closing || !queue.empty(); };
      if (pending.empty()) {
        wake.wait(hold, ready);
      } else {
        int64_t due = pending.begin()->second;
        for (const auto& entry : pending) {
          due = std::min(due, entry.second);
        }
        wake.wait_until(hold,
                        std::chrono::steady_clock::time_point(std::chrono::milliseconds(due)),
                        ready);
      }
      if (closing) {
        return;
      }
      if (queue.empty()) {
        hold.unlock();
        _CheckPending();
        continue;
      }
      next = queue.front();
      queue.pop_front();
    }
    _Handle(next.first, next.second);
  }
}

void ProgramKeeper::_Handle(Request request, const std::string& name) {
  switch (request) {
    case kDoReload:
      _Reload();
      return;
    case kDoStop: {
      {
        std::lock_guard<std::mutex> hold(mutex);
        stopped.insert(name);
        pending.erase(name);
      }
      _SaveStopped();
      const size_t count = list.StopName(name, nullptr);
      ReportInfo(name + " stopped by an operator (" + std::to_string(count) +
                 " process(es) to stop)");
      return;
    }
    case kDoStart:
      {
        std::lock_guard<std::mutex> hold(mutex);
        stopped.erase(name);
      }
      _SaveStopped();
      list.ClearStopped(name);
      _StartIfDown(name);
      return;
    case kDoRestart: {
      {
        std::lock_guard<std::mutex> hold(mutex);
        stopped.erase(name);
        pending.erase(name);
      }
      _SaveStopped();
      ReportInfo(name + " restarted by an operator");
      list.StopName(name, [this, name] { _Post(kDoLaunch, name); });
      return;
    }
    case kDoLaunch:
      {
        std::lock_guard<std::mutex> hold(mutex);
        if (stopped.count(name) != 0) {
          return;  // stopped again meanwhile
        }
      }
      list.ClearStopped(name);
      _StartIfDown(name);
      return;
  }
}

void ProgramKeeper::_StartIfDown(const std::string& name) {
  ProgramDefinition definition;
  const int64_t now = _NowMs();
  {
    std::lock_guard<std::mutex> hold(mutex);
    const auto found = definitions.find(name);
    if (found == definitions.end() || stopped.count(name) != 0) {
      return;
    }
    const auto waiting = pending.find(name);
    if (waiting != pending.end() && waiting->second > now) {
      return;
    }
    definition = found->second;
  }
  // A restart of the list's own may have just launched it: an operator's
  // start or restart meanwhile must not make a second copy.
  if (list.CountNamed(name) != 0 || list.StartUnderWay(name, settings.registerWaitMs)) {
    return;
  }
  const std::string directory = settings.logDirectory + "/" + name;
  const std::string logFile = directory + "/output.log";
  if (definition.output == "log") {
    // The wrapper runs as the program's user and rotates its files, so the
    // directory is that user's.
    if (!MakeDirectories(settings.logDirectory) ||
        (mkdir(directory.c_str(), 0750) != 0 && errno != EEXIST)) {
      ReportError(name + " is not started: cannot make " + directory + ": " +
                  SystemError::Text(errno));
      return;
    }
    RunAs owner;
    std::string why;
    if (settings.daemonUid == 0 && RunAs::ForUid(definition.uid, owner, why)) {
      if (lchown(directory.c_str(), owner.uid, owner.gid) != 0) {
        ReportError(name + ": cannot give " + directory + " to its user: " +
                    SystemError::Text(errno));
      }
    }
  }
  RunAs identity;
  const RunAs* as = nullptr;
  if (settings.daemonUid == 0 && definition.uid != 0) {
    std::string why;
    if (!RunAs::ForUid(definition.uid, identity, why)) {
      ReportError(name + " is not started: " + why);
      return;
    }
    as = &identity;
  }
  // Whatever stop the table remembers for the name (a removed file's, an
  // earlier daemon's) would keep its next restart from starting it.
  list.ClearStopped(name);
  String line(ProgramFile::RunLine(definition, settings.vigilctl, settings.socket, settings.port,
                                   logFile)
                  .c_str());
  ReportInfo("starting " + name + ": " + line.chars());
  if (launcher(line, as) == 0) {
    ReportError(name + " could not be started");
    return;
  }
  std::lock_guard<std::mutex> hold(mutex);
  pending[name] = now + settings.registerWaitMs;
}

void ProgramKeeper::_CheckPending() {
  std::vector<std::string> late;
  {
    std::lock_guard<std::mutex> hold(mutex);
    const int64_t now = _NowMs();
    for (auto it = pending.begin(); it != pending.end();) {
      if (it->second <= now) {
        late.push_back(it->first);
        it = pending.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (const std::string& name : late) {
    if (list.CountNamed(name) == 0) {
      ReportError(name + " has not registered within " +
                  std::to_string(settings.registerWaitMs / 1000) +
                  " s of its start; its output log says why");
    }
  }
}

void ProgramKeeper::_Reload() {
  std::vector<std::string> errors;
  std::map<std::string, ProgramDefinition> read =
      ProgramFile::ReadDirectory(settings.directory, settings.daemonUid, &errors);
  for (const std::string& error : errors) {
    ReportError(error + "; that program is left as it is");
  }
  // A bad file leaves its program as it runs rather than stopping it: the
  // operator's mistake in an edit must not take a service down.
  std::map<std::string, ProgramDefinition> old;
  {
    std::lock_guard<std::mutex> hold(mutex);
    old = definitions;
  }
  for (const std::string& error : errors) {
    // A directory that can no longer be trusted or read leaves every
    // program as it runs.
    const bool everything = error.rfind("program directory ", 0) == 0;
    for (const auto& entry : old) {
      if (everything || error.find(entry.second.file + ",") != std::string::npos ||
          error.find(entry.second.file + ":") != std::string::npos) {
        read.emplace(entry.first, entry.second);
      }
    }
  }
  std::vector<std::string> added, removed, changed, names;
  for (const auto& entry : read) {
    names.push_back(entry.first);
    const auto found = old.find(entry.first);
    if (found == old.end()) {
      added.push_back(entry.first);
    } else if (!found->second.SameAs(entry.second)) {
      changed.push_back(entry.first);
    }
  }
  for (const auto& entry : old) {
    if (read.count(entry.first) == 0) {
      removed.push_back(entry.first);
    }
  }
  bool forgotten = false;
  {
    std::lock_guard<std::mutex> hold(mutex);
    definitions = read;
    for (const std::string& name : removed) {
      forgotten = stopped.erase(name) != 0 || forgotten;
      pending.erase(name);
    }
    for (const std::string& name : changed) {
      pending.erase(name);
    }
  }
  AdmitProgramUsers(read);
  if (forgotten) {
    _SaveStopped();
  }
  ReportInfo("program files read again: " + std::to_string(added.size()) + " added, " +
             std::to_string(changed.size()) + " changed, " + std::to_string(removed.size()) +
             " removed");
  list.SetDefined(names);
  list.SetKeepAlive(!names.empty());
  for (const std::string& name : removed) {
    list.StopName(name, nullptr);
  }
  for (const std::string& name : changed) {
    list.StopName(name, [this, name] { _Post(kDoLaunch, name); });
  }
  for (const std::string& name : added) {
    _StartIfDown(name);
  }
}

void ProgramKeeper::_SaveStopped() {
  std::string text;
  {
    std::lock_guard<std::mutex> hold(mutex);
    for (const std::string& name : stopped) {
      text += name + "\n";
    }
  }
  std::string error;
  if (!AtomicFile::Replace(settings.stateFile, text, 0644, &error)) {
    ReportError("cannot keep the stopped programs in " + settings.stateFile + ": " + error);
  }
}
