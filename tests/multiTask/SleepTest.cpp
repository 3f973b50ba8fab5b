#include <gtest/gtest.h>

#include <chrono>

#include "Sleep.h"

TEST(SleepTest, ZeroReturnsAtOnceAndOtherwiseSleepsAtLeastTheTime) {
  for (unsigned ms : {0u, 1050u}) {  // 1050 splits into seconds and nanoseconds
    const auto start = std::chrono::steady_clock::now();
    Sleep(ms);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(ms));
    EXPECT_LT(elapsed, std::chrono::milliseconds(ms == 0 ? 20 : ms + 1000));
  }
}
