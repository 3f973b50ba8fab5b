// Records per second written into the dated-file device: by the device alone
// (buffered, the server's cost left out), and through the queued log server
// with its log thread, counting only records drained into the file.
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <list>
#include <string>

#include "Directory.h"
#include "LogDeviceFile.h"
#include "LogServer.h"
#include "TlConfigurationGlobal.h"

namespace {

// A fresh directory under /tmp, emptied and removed when the run ends.
class ScratchDir {
 public:
  ScratchDir() {
    char pattern[] = "/tmp/vigild-bench-XXXXXX";
    path = mkdtemp(pattern) != nullptr ? pattern : "/tmp";
  }
  ~ScratchDir() {
    std::list<std::string> names;
    Directory(path).GetFiles(names, 0);
    for (const std::string& name : names) {
      unlink((path + "/" + name).c_str());
    }
    rmdir(path.c_str());
  }
  std::string path;
};

const char kText[] = "[Bench::File] INFO : a record of ordinary length for the file device";

void BM_FileDeviceDirect(benchmark::State& state) {
  ScratchDir dir;
  LogDeviceFile device;
  device.Init(dir.path.c_str(), "debug", 9999);
  Handle<LogMessage> record(new LogMessage(Info, "DL31001"));
  record->append(kText);
  record->facility = "VIGILD.0.0-1:0";
  for (auto _ : state) {
    device.ProcessMessage(record, false);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FileDeviceDirect);

// Each iteration logs a batch through the server and flushes, so the time
// covers the drain into the file, not just the hand-over to the queue.
void BM_FileDeviceQueuedDrained(benchmark::State& state) {
  constexpr int kBatch = 1000;
  ScratchDir dir;
  TlConfigurationGlobal::Instance()->AtPut("LOGMANAGER.CREATEFILES", "True");
  TlConfigurationGlobal::Instance()->AtPut("LOGMANAGER.LOGDIR", dir.path);
  // A server of this run's own; whatever server another benchmark made is
  // put back afterwards.
  LogServer* const previous = LogServer::oLogServer.load();
  LogServer* server = new LogServer;  // stores itself as the singleton
  server->initForConfiguration("VIGILD.0.0");
  server->StartProcessingThread();
  for (auto _ : state) {
    for (int i = 0; i < kBatch; ++i) {
      LogServer::Report(Info, nullptr, kText);
    }
    server->Flush();
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
  delete server;
  LogServer::oLogServer.store(previous);
  TlConfigurationGlobal::Instance()->AtPut("LOGMANAGER.CREATEFILES", "False");
}
BENCHMARK(BM_FileDeviceQueuedDrained)->UseRealTime();

}  // namespace
