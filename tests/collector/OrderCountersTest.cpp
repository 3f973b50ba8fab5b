#include "OrderCounters.h"
#include "TestCommon.h"

// More threads than the counters have shards, each counting its own mix while a reader sums: no
// count is lost or doubled, and no sum read meanwhile runs ahead of what was counted.
TEST(OrderCountersTest, CountsFromManyThreadsAddUpExactly) {
  OrderCounters counters;
  constexpr int kThreads = 80;
  constexpr int kRounds = 2000;
  constexpr uint64_t kSum = static_cast<uint64_t>(kThreads) * kRounds;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&counters, t] {
      for (int i = 0; i < kRounds; ++i) {
        counters.CountExecuted(OrderCounters::kMsg);
        if (i % 10 == 0) {
          counters.CountExecuted(t % 2 == 0 ? OrderCounters::kWatch : OrderCounters::kMgmt);
        }
        if (i % 100 == 0) {
          counters.CountProtocolError();
        }
      }
    });
  }
  uint64_t seen = 0;
  for (int i = 0; i < 100; ++i) {
    const uint64_t now = counters.Read().executed[OrderCounters::kMsg];
    EXPECT_GE(now, seen);
    EXPECT_LE(now, kSum);
    seen = now;
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  counters.CountExecuted(OrderCounters::kOrderTypes);  // not an order: ignored
  const OrderCounters::Values values = counters.Read();
  std::vector<uint64_t> counts(std::begin(values.executed), std::end(values.executed));
  counts.push_back(values.protocolErrors);
  EXPECT_EQ((std::vector<uint64_t>{kSum / 20, kSum, kSum / 20, 0, kSum / 100}), counts);
}
