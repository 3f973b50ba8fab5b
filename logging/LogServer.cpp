#include "LogServer.h"

#include <stdio.h>
#include <time.h>

#include <vector>

#include "CriticalSection.h"
#include "Diagnostic.h"
#include "LogDeviceConsole.h"
#include "LogDeviceFile.h"
#include "LogDeviceUDP.h"
#include "LogSettings.h"
#include "LogStream.h"
#include "Sleep.h"

std::atomic<LogServer*> LogServer::oLogServer{nullptr};

namespace {

// Pause between looks while waiting for the log thread to start or to stop.
constexpr unsigned kThreadPollMs = 5;
constexpr int kThreadStartWaitMs = 1000;

long long MonotonicNowMs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// True while this thread runs repeater callbacks. A record such a callback
// logs (a send trace, a send error) is written to the devices at once and
// never repeated: repeating it would feed the callback its own output, and
// in queued mode a drain would never end.
thread_local bool inRepeater = false;

// The diagnostic switches and the configuration store's traces sit below the
// log server and reach it through this reporter. It is installed when the
// program loads, not when the server is made: a trace met while the
// configuration is assembled comes before the server's first use, and Report
// makes the server on demand.
void ReportDiagnostic(const std::string& code, const std::string& text) {
  LogServer::Report(Info, code.c_str(), text, "", false);
}
struct DiagnosticReporterInstaller {
  DiagnosticReporterInstaller() { Diagnostic::SetReporter(ReportDiagnostic); }
} diagnosticReporterInstaller;

// Guards the creation of the singleton: first use may happen on any thread,
// even if the daemon makes it on its main thread first. Never destroyed, so
// a log call during exit still finds it.
TaskMutex* CreationMutex() {
  static TaskMutex* const mutex = new TaskMutex;
  return mutex;
}

const char* LevelName(unsigned level) {
  static const char* const kNames[] = {"info",   "debug1", "debug2", "debug3", "debug4",
                                       "debug5", "debug6", "debug7", "debug8"};
  return level >= 2 && level <= 10 ? kNames[level - 2] : nullptr;
}

}  // namespace

// ---- Life cycle

LogServer::LogServer()
    : consoleDevice(nullptr),
      fileDevice(nullptr),
      udpDevice(nullptr),
      threaded(false),
      wakePeriod(1),
      state(0),
      logThreadLaunched(false),
      logThreadStarted(false) {
  setRootFacilityName("default.1");
  makeConsoleBasedLogger();
  if (queue.Status() != 0 || repeatersMutex.Status() != 0) {
    state.store(3);
  }
  // Last, so that a thread that finds the pointer finds a finished server.
  oLogServer.store(this);
}

LogServer::~LogServer() {
  if (logThreadLaunched) {
    int running = 0;
    state.compare_exchange_strong(running, 1);
    // The thread drains what is left and sets 2 as its very last access to
    // this object; only then may the members go.
    while (state.load() != 2) {
      queue.Wake();
      Sleep(kThreadPollMs);
    }
  }
  // Records queued without a log thread, or after its last drain.
  ProcessQueue();
  {
    CriticalSection lock(&deliveryMutex);
    _ReplaceDevice(consoleDevice, nullptr);
    _ReplaceDevice(fileDevice, nullptr);
    _ReplaceDevice(udpDevice, nullptr);
  }
  LogServer* self = this;
  oLogServer.compare_exchange_strong(self, nullptr);
}

LogServer* LogServer::Instance() {
  LogServer* server = oLogServer.load();
  if (server != nullptr) {
    return server;
  }
  CriticalSection lock(CreationMutex());
  server = oLogServer.load();
  if (server == nullptr) {
    server = new LogServer;  // stores itself in oLogServer
  }
  return server;
}

void LogServer::DeleteInstance() {
  LogServer* server = oLogServer.load();
  if (server == nullptr) {
    return;
  }
  server->Flush();
  delete server;
  oLogServer.store(nullptr);
}

bool LogServer::Report(LogSeverityCode severity, const char* code, const std::string& text,
                       const char* tag, bool flush) {
  LogServer* server = Instance();
  if (!server->isAcceptableSeverity(severity)) {
    return false;
  }
  Handle<LogMessage> record(code != nullptr ? new LogMessage(severity, code)
                                            : new LogMessage(severity));
  record->append(text.c_str());
  if (tag != nullptr) {
    record->errorString = tag;
  }
  const bool accepted = server->_AddChannelMessage(record);
  if (flush) {
    server->Flush();
  }
  return accepted;
}

bool LogServer::initForConsole() { return makeConsoleBasedLogger(); }

bool LogServer::initForConfiguration(const char* name) {
  setRootFacilityName(name);
  return init();
}

bool LogServer::init() { return makeConfigurationBasedLogger(); }

void LogServer::setRootFacilityName(const char* name) { channels.SetRootName(name); }

std::string LogServer::getRootFacilityName() const { return channels.RootName(); }

bool LogServer::StartProcessing() {
  state.store(0);
  return true;
}

bool LogServer::StartProcessing(const char*, const char*) { return StartProcessing(); }

bool LogServer::StartProcessingThread() {
  threaded.store(true);
  StartProcessing();
  if (logThreadLaunched) {
    return true;  // one log thread per server: a second would outlive the wait of the destructor
  }
  const int result = launcher.Create(HandleLogServer, this);
  // A thread whose detach failed runs too, and the destructor waits for it.
  logThreadLaunched = ThreadLauncher::Started(result);
  if (result != 0) {
    state.store(3);
    return false;
  }
  for (int waited = 0; !logThreadStarted.load() && waited < kThreadStartWaitMs;
       waited += static_cast<int>(kThreadPollMs)) {
    Sleep(kThreadPollMs);
  }
  return true;
}

bool LogServer::StartProcessingThread(const char*, const char*) { return StartProcessingThread(); }

bool LogServer::StartQueueing() {
  threaded.store(true);
  return StartProcessing();
}

// ---- Devices

bool LogServer::makeConsoleBasedLogger() {
  MakeConsoleLogger();
  setFilter("FWI");
  return true;
}

bool LogServer::makeConfigurationBasedLogger() {
  bool made = true;
  if (shouldDoUDPForward()) {
    made = MakeUDPLogger();
  }
  if (shouldCreateFiles()) {
    made = made && MakeFileLogger();
  }
  return made;
}

bool LogServer::MakeConsoleLogger() {
  setConsoleDevice(new LogDeviceConsole);
  return true;
}

bool LogServer::MakeFileLogger() {
  LogDevice* device = _NewFileDevice();
  CriticalSection lock(&deliveryMutex);
  _ReplaceDevice(fileDevice, device);
  if (device == nullptr) {
    return false;
  }
  // A daemon that logs to files writes nothing to the console.
  _ReplaceDevice(consoleDevice, nullptr);
  return true;
}

bool LogServer::MakeUDPLogger() {
  LogDevice* device = _NewUDPDevice();
  CriticalSection lock(&deliveryMutex);
  _ReplaceDevice(udpDevice, device);
  return device != nullptr;
}

LogDevice* LogServer::_NewFileDevice() {
  LogDeviceFile* device = new LogDeviceFile;
  if (!device->Init(getStartDebugPath(), getFilesPrefix(), getMaxRetentionsDays())) {
    delete device;
    return nullptr;
  }
  return device;
}

// A port outside 1-65535 is no destination: the device is made but sends
// nothing, like one whose server does not resolve.
LogDevice* LogServer::_NewUDPDevice() {
  const int port = getUDPPort();
  const unsigned short usable = port > 0 && port <= 65535 ? static_cast<unsigned short>(port) : 0;
  LogDeviceUDP* device = new LogDeviceUDP;
  if (!device->Init(getUDPServer(), usable, static_cast<unsigned>(getUDPFacilityNumber()))) {
    delete device;
    return nullptr;
  }
  return device;
}

void LogServer::setConsoleDevice(LogDevice* device) {
  CriticalSection lock(&deliveryMutex);
  _ReplaceDevice(consoleDevice, device);
}

bool LogServer::registerLogRepeater(Handle<LogForwarder> repeater) {
  CriticalSection lock(&repeatersMutex);
  repeaters.push_back(repeater);
  repeaterCount.store(repeaters.size());
  return true;
}

void LogServer::_ReplaceDevice(LogDevice*& slot, LogDevice* device) {
  if (slot != device) {
    delete slot;
  }
  slot = device;
}

// ---- Severity acceptance

void LogServer::setFilter(const char* filter) { acceptance.SetFilter(filter); }

void LogServer::setAcceptSeverity(LogSeverityCode severity, bool on) {
  acceptance.SetAccept(severity, on);
}

void LogServer::setAcceptSeverityUpTo(LogSeverityCode severity) { acceptance.SetUpTo(severity); }

void LogServer::setAcceptSeverityUpTo(bool* table, LogSeverityCode severity) {
  LogSeverityFilter::SetUpTo(table, severity);
}

void LogServer::_ReportLevel(unsigned level, const char* suffix) {
  const char* name = LevelName(level);
  if (name == nullptr) {
    return;
  }
  Handle<LogMessage> record(new LogMessage(Info, "DL31001"));
  record->append("Set log generation level to '");
  record->append(name);
  record->append("'");
  record->append(suffix);
  record->errorString = "SETLOGLEVEL";
  AddGlobalMessage(record);
}

void LogServer::setDebugLevelNumber(unsigned level) {
  if (acceptance.SetLevel(level)) {
    _ReportLevel(level, "");
  }
}

void LogServer::setDebugLevelNumber(unsigned level, int taskId) {
  if (acceptance.SetLevel(level, taskId)) {
    char suffix[48];
    snprintf(suffix, sizeof suffix, " for taskId%d", taskId);
    _ReportLevel(level, suffix);
  }
}

void LogServer::unsetDebugLevelNumber(int taskId) { acceptance.UnsetLevel(taskId); }

bool LogServer::isAcceptableSeverity(LogSeverityCode severity) {
  // The channel is only looked up when some channel has its own table, so
  // the common case costs no lock.
  if (acceptance.HasTaskTables() && acceptance.AcceptsForTask(severity, getCurrentChannel())) {
    return true;
  }
  return acceptance.AcceptsGlobally(severity);
}

LogSeverityCode LogServer::getUpToSeverity() {
  for (int s = Debug8; s >= Error; --s) {
    if (isAcceptableSeverity(static_cast<LogSeverityCode>(s))) {
      return static_cast<LogSeverityCode>(s);
    }
  }
  return Fatal;
}

unsigned LogServer::getDebugLevelNumber() {
  const int upTo = getUpToSeverity();
  return upTo >= 2 ? static_cast<unsigned>(upTo - 1) : 0;
}

bool LogServer::getDebugLevelNumbers(std::list<std::string>& out) {
  acceptance.Describe(out);
  return true;
}

// ---- Records

bool LogServer::_DeliverDescribed(Handle<LogMessage>& record, bool described,
                                  const String& description) {
  if (described) {
    Handle<LogMessage> note(new LogMessage(Info));
    note->append("[LogServer::ChannelDescription] ");
    note->append(description);
    note->facility = record->facility;
    note->channel = record->channel;
    ProcessMessage(note);
  }
  return ProcessMessage(record);
}

bool LogServer::AddGlobalMessage(Handle<LogMessage> record) { return _AddChannelMessage(record); }

bool LogServer::AddChannelMessage(Handle<LogMessage> record) { return _AddChannelMessage(record); }

bool LogServer::_AddChannelMessage(Handle<LogMessage>& record) {
  if (record.IsNull()) {
    return false;
  }
  String description;
  const bool described = channels.Stamp(*record, &description);
  return _DeliverDescribed(record, described, description);
}

bool LogServer::AddOnceMessage(Handle<LogMessage> record, LogSeverityCode repeatSeverity) {
  if (record.IsNull()) {
    return false;
  }
  channels.Stamp(*record, nullptr);
  const int count = onceCounters.Count(record->getErrorMessage());
  if (count == 1) {
    String description;
    const bool described = channels.TakeDescription(record->channel, description);
    return _DeliverDescribed(record, described, description);
  }
  char prefix[48];
  snprintf(prefix, sizeof prefix, "[repeated %d times] ", count);
  record->errorMessage = prefix + record->errorMessage;
  if (count == 5 || count == 10 || count == 100 || count == 1000) {
    return ProcessMessage(record);
  }
  if (repeatSeverity == NoSeverity || !isAcceptableSeverity(repeatSeverity)) {
    return true;
  }
  record->severity = repeatSeverity;
  return ProcessMessage(record);
}

bool LogServer::ResetOnceCounters() {
  onceCounters.Reset();
  return true;
}

bool LogServer::ProcessMessage(Handle<LogMessage>& record) {
  if (state.load() != 0 || record.IsNull()) {
    return false;
  }
  // Here, once, rather than in each device: every output and every
  // repeater then shows the same escaped text.
  record->EscapeControlBytes();
  if (!threaded.load() || inRepeater) {
    bool written = true;
    {
      CriticalSection lock(&deliveryMutex);
      for (LogDevice* device : {consoleDevice, fileDevice, udpDevice}) {
        if (device != nullptr && written) {
          written = device->ProcessMessage(record, true);
        }
      }
    }
    _Repeat(record);
    return written;
  }
  // Stopping: nobody will make room any more.
  return queue.Push(record, [this] { return state.load() != 0; });
}

void LogServer::_Repeat(Handle<LogMessage>& record) {
  // The count spares every record a lock while no repeater is registered.
  if (inRepeater || repeaterCount.load() == 0) {
    return;
  }
  std::vector<Handle<LogForwarder>> current;
  {
    CriticalSection lock(&repeatersMutex);
    current.assign(repeaters.begin(), repeaters.end());
  }
  std::vector<LogForwarder*> failed;
  {
    inRepeater = true;
    struct Flag {
      ~Flag() { inRepeater = false; }
    } running;
    for (Handle<LogForwarder>& repeater : current) {
      bool forwarded = false;
      try {
        forwarded = repeater->ProcessMessage(record);
      } catch (const BError&) {
        // A callback that met a closed connection must not break logging.
      }
      if (!forwarded) {
        failed.push_back(repeater.get());
      }
    }
  }
  if (!failed.empty()) {
    CriticalSection lock(&repeatersMutex);
    for (LogForwarder* gone : failed) {
      repeaters.remove_if([gone](const Handle<LogForwarder>& r) { return r.get() == gone; });
    }
    repeaterCount.store(repeaters.size());
  }
}

bool LogServer::Flush() { return ProcessQueue(); }

bool LogServer::Drain(int timeoutMs) {
  const long long deadline = MonotonicNowMs() + timeoutMs;
  // The first load holds every record queued before this call; records
  // queued since are not chased (under a stream of clients they never end).
  _ProcessQueueUntil(0);
  bool drained = true;
  CriticalSection lock(&deliveryMutex);
  for (LogDevice* device : {consoleDevice, fileDevice, udpDevice}) {
    if (device != nullptr) {
      const long long left = deadline - MonotonicNowMs();
      drained = device->Drain(static_cast<int>(left > 0 ? left : 0)) && drained;
    }
  }
  return drained;
}

bool LogServer::FirstInQueue(Handle<LogMessage>& record, bool& nowEmpty) {
  return queue.TakeFirst(record, nowEmpty);
}

void LogServer::_WriteQueued(Handle<LogMessage>& record, bool nowEmpty) {
  // In queued mode a device failure only costs that record on that device.
  for (LogDevice* device : {consoleDevice, fileDevice, udpDevice}) {
    if (device != nullptr) {
      device->ProcessMessage(record, nowEmpty);
    }
  }
}

bool LogServer::ProcessQueue() { return _ProcessQueueUntil(-1); }

bool LogServer::_ProcessQueueUntil(long long deadlineMs) {
  for (bool first = true;; first = false) {
    // Producers may refill the queue as fast as it is written: past the
    // deadline the records queued after the first load are left.
    if (!first && deadlineMs >= 0 && MonotonicNowMs() >= deadlineMs) {
      return false;
    }
    LogQueue::Records batch;  // released after the lock below
    {
      CriticalSection lock(&deliveryMutex);
      // The whole queue at once: room for a full queue-load while this one
      // is written.
      queue.TakeAll(batch);
      if (batch.empty()) {
        return true;
      }
      const size_t last = batch.size() - 1;
      for (size_t i = 0; i <= last; ++i) {
        _WriteQueued(batch[i], i == last);
      }
    }
    for (Handle<LogMessage>& record : batch) {
      _Repeat(record);
    }
  }
}

// ---- Channels

int LogServer::MapThreadToChannel(int channel) {
  channels.MapCurrentThread(channel);
  return 1;
}

int LogServer::UnMapThread() {
  channels.UnmapCurrentThread();
  return 0;
}

int LogServer::getCurrentChannel() { return channels.CurrentChannel(); }

int LogServer::getCurrentChannelId() { return channels.CurrentChannel(); }

int LogServer::DescribeChannel(int channel, const char* text) {
  channels.Describe(channel, text);
  return 1;
}

int LogServer::UnDescribeChannel(int channel) {
  channels.Undescribe(channel);
  return 1;
}

bool LogServer::getChannelDescription(int channel, String& out) {
  return channels.Description(channel, out);
}

// ---- Configuration readers

int LogServer::getStartDebugLevel() { return LogSettings::getStartDebugLevel(); }
String LogServer::getStartDebugPath() { return LogSettings::getStartDebugPath(); }
bool LogServer::shouldCreateFiles() { return LogSettings::shouldCreateFiles(); }
String LogServer::getFilesPrefix() { return LogSettings::getFilesPrefix(); }
int LogServer::getMaxRetentionsDays() { return LogSettings::getMaxRetentionsDays(); }
bool LogServer::shouldDoUDPForward() { return LogSettings::shouldDoUDPForward(); }
String LogServer::getUDPServer() { return LogSettings::getUDPServer(); }
int LogServer::getUDPPort() { return LogSettings::getUDPPort(); }
int LogServer::getUDPFacilityNumber() { return LogSettings::getUDPFacilityNumber(); }
String LogServer::getFilter() { return LogSettings::getFilter(); }

// ---- Log thread

void LogServer::_RunLogThread() {
  logThreadStarted.store(true);
  if (state.load() == 0) {
    for (;;) {
      const int waited = queue.WaitForWork(wakePeriod * 1000);
      if (waited != 0 && waited != TaskEvent::kTimedOut) {
        Sleep(static_cast<unsigned>(wakePeriod) * 1000);  // a broken event must not spin
      }
      const int now = state.load();
      if (now == 0) {
        ProcessQueue();
        continue;
      }
      if (now == 1) {
        ProcessQueue();
      }
      break;
    }
  }
  // Last access to this object: the destructor may free it at once.
  state.store(2);
}

void HandleLogServer(void* server) {
  if (GetTraceLevel() >= 1) {
    fputs(" ** Start HandleLogServer thread\n", stdout);
    fflush(stdout);
  }
  if (server != nullptr) {
    static_cast<LogServer*>(server)->_RunLogThread();
  }
  if (GetTraceLevel() >= 1) {
    fputs(" ** Finish HandleLogServer thread\n", stdout);
    fflush(stdout);
  }
}
