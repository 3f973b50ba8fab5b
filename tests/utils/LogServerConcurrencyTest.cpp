#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "CapturingLogDevice.h"
#include "LogServer.h"

namespace {

class LogServerConcurrencyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server = LogServer::Instance();
    log = CapturingLogDevice::Install(server);
    ASSERT_TRUE(server->StartProcessingThread());
  }
  void TearDown() override { LogServer::DeleteInstance(); }

  // Starts `threads` producers, each logging `perThread` records "<thread> <n>".
  static std::vector<std::thread> Produce(int threads, int perThread) {
    std::vector<std::thread> producers;
    for (int t = 0; t < threads; ++t) {
      producers.emplace_back([t, perThread] {
        for (int n = 0; n < perThread; ++n) {
          LogServer::Report(Info, nullptr, "[P] " + std::to_string(t) + " " + std::to_string(n));
        }
      });
    }
    return producers;
  }

  // Every producer's records arrived exactly once and in the order logged.
  void ExpectEveryRecordOnceInOrder(int threads, int perThread) {
    std::vector<int> next(static_cast<size_t>(threads), 0);
    for (const std::string& message : log->Messages()) {
      char* rest = nullptr;
      const long t = strtol(message.c_str(), &rest, 10);
      ASSERT_TRUE(t >= 0 && t < threads) << message;
      ASSERT_EQ(strtol(rest, nullptr, 10), next[static_cast<size_t>(t)]) << message;
      ++next[static_cast<size_t>(t)];
    }
    for (int count : next) {
      EXPECT_EQ(count, perThread);
    }
  }

  LogServer* server = nullptr;
  std::shared_ptr<CapturingLogDevice::Log> log;
};

TEST_F(LogServerConcurrencyTest, EightProducersAndAFlusherLoseAndReorderNothing) {
  constexpr int kThreads = 8;
  constexpr int kPerThread = 10000;
  std::atomic<bool> producing{true};
  std::thread flusher([&] {
    while (producing.load()) {
      server->Flush();
      std::this_thread::yield();
    }
  });
  for (std::thread& producer : Produce(kThreads, kPerThread)) {
    producer.join();
  }
  producing = false;
  flusher.join();
  server->Flush();
  ASSERT_EQ(log->Count(), static_cast<size_t>(kThreads * kPerThread));
  ExpectEveryRecordOnceInOrder(kThreads, kPerThread);
}

// Without anyone calling Flush, producers that fill the queue must not wait
// for the log thread's next period (a second away: it has just started).
TEST_F(LogServerConcurrencyTest, FullQueueWakesTheLogThreadAtOnce) {
  constexpr int kThreads = 4;
  constexpr int kPerThread = 600;  // more than two queue-loads
  const auto start = std::chrono::steady_clock::now();
  for (std::thread& producer : Produce(kThreads, kPerThread)) {
    producer.join();
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(700));
  server->Flush();  // the last partial queue-load
  ASSERT_EQ(log->Count(), static_cast<size_t>(kThreads * kPerThread));
  ExpectEveryRecordOnceInOrder(kThreads, kPerThread);
}

}  // namespace
