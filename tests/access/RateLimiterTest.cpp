#include <gtest/gtest.h>

#include <string>

#include "RateLimiter.h"

namespace {

TEST(RateLimiterTest, EachKeyOncePerPeriod) {
  long now = 1000;
  RateLimiter limiter(60, 100, [&] { return now; });
  EXPECT_TRUE(limiter.Allow("a"));
  EXPECT_FALSE(limiter.Allow("a"));
  EXPECT_TRUE(limiter.Allow("b"));
  now += 59;
  EXPECT_FALSE(limiter.Allow("a"));
  now += 1;
  EXPECT_TRUE(limiter.Allow("a"));
  EXPECT_FALSE(limiter.Allow("a"));
}

TEST(RateLimiterTest, FloodOfKeysStaysBoundedAndSharesOneOverflowLine) {
  long now = 0;
  RateLimiter limiter(60, 8, [&] { return now; });
  int allowed = 0;
  int overflowedAllowed = 0;
  for (int i = 0; i < 10000; ++i) {
    bool overflowed = false;
    if (limiter.Allow("peer" + std::to_string(i), &overflowed)) {
      ++allowed;
      overflowedAllowed += overflowed ? 1 : 0;
    }
  }
  EXPECT_EQ(allowed, 9);  // eight remembered keys and one overflow line
  EXPECT_EQ(overflowedAllowed, 1);
  EXPECT_EQ(limiter.Size(), 8u);
  // Once the period is over, the old keys make room for new ones.
  now += 60;
  EXPECT_TRUE(limiter.Allow("fresh"));
  EXPECT_LE(limiter.Size(), 8u);
  EXPECT_FALSE(limiter.Allow("fresh"));
}

}  // namespace
