#include <gtest/gtest.h>

#include <chrono>

#include "Sleep.h"

TEST(SleepTest, ZeroReturnsAtOnceAndOtherwiseSleepsAtLeastTheTime) {
  for (unsigned ms : {0u, 300u, 1050u}) {
    const auto start = std::chrono::steady_clock::now();
    Sleep(ms);
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - start)
                             .count();
    EXPECT_GE(elapsed, ms);
    EXPECT_LT(elapsed, ms + 20 + (ms > 0 ? 1000 : 0));
  }
}
