// Records per second a producer can hand to the queued log server, from one
// thread and from eight, with the log thread draining into a device that
// discards everything (so the figure is the server's own cost).
#include <benchmark/benchmark.h>

#include <string>

#include "LogDevice.h"
#include "LogServer.h"

namespace {

class DiscardingLogDevice : public LogDevice {
 public:
  bool ProcessMessage(Handle<LogMessage>& record, bool /*flush*/) override {
    benchmark::DoNotOptimize(record.get());
    return true;
  }
};

// One queued server with its log thread for the whole run (made by the first
// benchmark thread to get here; static initialisation makes the others wait).
LogServer* QueuedServer() {
  static LogServer* const server = [] {
    LogServer* made = LogServer::Instance();
    made->setConsoleDevice(new DiscardingLogDevice);
    made->StartProcessingThread();
    return made;
  }();
  return server;
}

void BM_QueuedReport(benchmark::State& state) {
  QueuedServer();
  const std::string text =
      "[Bench::Report] INFO : record of thread " + std::to_string(state.thread_index());
  for (auto _ : state) {
    LogServer::Report(Info, nullptr, text);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_QueuedReport)->Threads(1)->Threads(8)->UseRealTime();

// The same record refused by the severity test: the cost of a log call that
// logs nothing.
void BM_RefusedReport(benchmark::State& state) {
  QueuedServer();
  const std::string text = "[Bench::Report] DEBUG : never built";
  for (auto _ : state) {
    LogServer::Report(Debug4, nullptr, text);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RefusedReport)->Threads(1)->Threads(8)->UseRealTime();

}  // namespace
