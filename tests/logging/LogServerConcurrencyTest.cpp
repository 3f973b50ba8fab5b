#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "CapturingLogDevice.h"
#include "LogServer.h"

namespace {

// Producers that fill the queue wake the log thread rather than wait for its
// next period (a second away), so more than two queue-loads pass in 0.7 s.
TEST(LogServerConcurrencyTest, FullQueueWakesTheLogThreadAtOnce) {
  constexpr int kThreads = 8;
  constexpr int kPerThread = 300;
  LogServer* server = LogServer::Instance();
  auto log = CapturingLogDevice::Install(server);
  ASSERT_TRUE(server->StartProcessingThread());
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> producers;
  for (int t = 0; t < kThreads; ++t) {
    producers.emplace_back([t] {
      for (int n = 0; n < kPerThread; ++n) {
        LogServer::Report(Info, nullptr, "[P] " + std::to_string(t) + " " + std::to_string(n));
      }
    });
  }
  for (std::thread& producer : producers) {
    producer.join();
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(700));
  LogServer::DeleteInstance();  // writes the last partial queue-load
  EXPECT_EQ(log->Count(), static_cast<size_t>(kThreads * kPerThread));
}

}  // namespace
