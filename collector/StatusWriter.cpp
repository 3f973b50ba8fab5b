#include "StatusWriter.h"

#include <stdio.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "AtomicFile.h"
#include "Directory.h"
#include "LogServer.h"
#include "OrderCounters.h"
#include "TlConfiguration.h"

namespace {

const char kDefaultStatusFile[] = "log/vigild.status.json";

// Readable by every local user: it tells what runs, never a secret.
constexpr mode_t kFileMode = 0644;

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos || slash == 0 ? std::string() : path.substr(0, slash);
}

// Writes one file; logs the first failure of a run and the recovery after it.
void WriteOne(AtomicFile& file, const std::string& content, bool& failing) {
  std::string error;
  if (file.Replace(content, &error)) {
    if (failing) {
      LogServer::Report(Info, "DL31001",
                        "[StatusWriter] INFO : writing '" + file.Path() + "' again", "GENERIC");
    }
    failing = false;
    return;
  }
  if (!failing) {
    LogServer::Report(Warning, "DL30102", "[StatusWriter] ERROR : " + error, "GENERIC", true);
  }
  failing = true;
}

}  // namespace

StatusWriter::StatusWriter(const Settings& writerSettings, OrderCounters& orderCounters)
    : settings(writerSettings),
      counters(orderCounters),
      daemonPid(static_cast<long>(getpid())),
      started(static_cast<long>(time(nullptr))),
      statusFile(settings.statusFile, kFileMode),
      metricsFile(settings.metricsFile, kFileMode) {}

StatusWriter::~StatusWriter() { Stop(); }

std::unique_ptr<StatusWriter> StatusWriter::FromConfiguration(const TlConfiguration& configuration,
                                                              int port,
                                                              OrderCounters& orderCounters) {
  Settings writerSettings;
  std::string root;
  configuration.AtIfMissing("ROOT_DIRECTORY", root, "");
  configuration.AtIfMissing("WATCHMGR.STATUSFILE", writerSettings.statusFile,
                            root + kDefaultStatusFile);
  configuration.AtIfMissing("WATCHMGR.METRICSFILE", writerSettings.metricsFile, "");
  writerSettings.port = port;
  if (writerSettings.statusFile.empty() && writerSettings.metricsFile.empty()) {
    return nullptr;
  }
  return std::make_unique<StatusWriter>(writerSettings, orderCounters);
}

bool StatusWriter::Start() {
  for (const std::string& path : {settings.statusFile, settings.metricsFile}) {
    const std::string directory = DirectoryOf(path);
    if (!path.empty() && !directory.empty()) {
      Directory(directory).CheckPath();
      WarnIfOpenToOthers(directory, "status");
    }
  }
  _WriteFiles(true);
  threadRunning = true;
  const int result = launcher.Create(&StatusWriter::_Run, this);
  if (!ThreadLauncher::Started(result)) {
    threadRunning = false;
    LogServer::Report(
        Warning, "DL30102",
        "[StatusWriter] ERROR : cannot start the writer thread, code " + std::to_string(result),
        "GENERIC", true);
    return false;
  }
  return true;
}

void StatusWriter::Stop() {
  if (stopped.exchange(true)) {
    return;
  }
  stopping = true;
  wake.Signal();
  // The thread is detached: wait for it to say it is done.
  for (int i = 0; i < 1000 && threadRunning.load(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (threadRunning.load()) {
    // It is stuck on the disk; a second writer would race it.
    return;
  }
  _WriteFiles(false);
}

void StatusWriter::_Run(void* self) {
  StatusWriter* writer = static_cast<StatusWriter*>(self);
  while (!writer->stopping.load()) {
    // Woken by a new copy, or when the period since the last write is up.
    const auto since = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - writer->writtenAt);
    const long long left = static_cast<long long>(writer->settings.periodMs) - since.count();
    writer->wake.Wait(left > 0 ? static_cast<int>(left) : 1);  // 0 would wait for ever
    if (writer->stopping.load()) {
      break;
    }
    writer->_WriteIfDue();
  }
  writer->threadRunning = false;
}

void StatusWriter::_WriteIfDue() {
  const StatusSnapshot snapshot = Current(true);
  const bool due = std::chrono::steady_clock::now() - writtenAt >=
                   std::chrono::milliseconds(settings.periodMs);
  if (!due && snapshot.ShowsSameAs(written)) {
    return;
  }
  _Write(snapshot);
}

void StatusWriter::_Copy(const std::map<int, WatchedItem>& table) {
  processes.clear();
  processes.reserve(table.size());
  for (const auto& entry : table) {
    processes.push_back(StatusSnapshot::FromItem(entry.second));
  }
}

void StatusWriter::PassEnded(const std::map<int, WatchedItem>& table) {
  mutex.Lock();
  _Copy(table);
  ++passes;
  mutex.Unlock();
  wake.Signal();
}

void StatusWriter::ProgramsChanged(const std::map<int, WatchedItem>& table,
                                   const ProgramTable& names) {
  const int64_t nowMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now().time_since_epoch())
                            .count();
  std::vector<StatusSnapshot::Program> list =
      StatusSnapshot::ProgramsFrom(table, names, nowMs, static_cast<long>(time(nullptr)));
  mutex.Lock();
  programs.swap(list);
  mutex.Unlock();
  wake.Signal();
}

void StatusWriter::RestartBegins(const std::map<int, WatchedItem>& table,
                                 const WatchedItem& restarting) {
  mutex.Lock();
  _Copy(table);
  const String& name = restarting.settings.psName;
  ++restarts[std::string(name.chars(), name.length())];
  mutex.Unlock();
  wake.Signal();
}

StatusSnapshot StatusWriter::Current(bool running) {
  StatusSnapshot snapshot;
  snapshot.pid = daemonPid;
  snapshot.started = started;
  snapshot.updated = static_cast<long>(time(nullptr));
  snapshot.port = settings.port;
  snapshot.running = running;
  snapshot.orders = counters.Read();
  mutex.Lock();
  snapshot.passes = passes;
  snapshot.restarts = restarts;
  snapshot.processes = processes;
  snapshot.programs = programs;
  mutex.Unlock();
  return snapshot;
}

void StatusWriter::_WriteFiles(bool running) { _Write(Current(running)); }

void StatusWriter::_Write(const StatusSnapshot& snapshot) {
  written = snapshot;
  writtenAt = std::chrono::steady_clock::now();
  if (!settings.statusFile.empty()) {
    WriteOne(statusFile, snapshot.ToJson(&printedEntries), statusFailing);
  }
  if (!settings.metricsFile.empty()) {
    WriteOne(metricsFile, snapshot.ToMetrics(), metricsFailing);
  }
}

void WarnIfOpenToOthers(const std::string& path, const char* purpose) {
  unsigned mode = 0;
  if (!Directory(path).OpenToOthers(mode)) {
    return;
  }
  char bits[8];
  snprintf(bits, sizeof bits, "%04o", mode);
  LogServer::Report(Warning, "DL30102",
                    std::string("[vigild::main] WARNING : the ") + purpose + " directory " + path +
                        " (mode " + bits +
                        ") is writable by group or others: a local user can plant files there",
                    "GENERIC", true);
}
