#include "RateLimiter.h"
#include "TestCommon.h"

namespace {

TEST(RateLimiterTest, EachKeyOncePerPeriodAndAFloodOfKeysStaysBoundedWithOneOverflowLine) {
  long now = 1000;
  RateLimiter limiter(60, 8, [&] { return now; });
  EXPECT_TRUE(limiter.Allow("a"));
  EXPECT_FALSE(limiter.Allow("a"));
  EXPECT_TRUE(limiter.Allow("b"));
  int allowed = 0, overflowedAllowed = 0;
  for (int i = 0; i < 10000; ++i) {
    bool overflowed = false;
    if (limiter.Allow("peer" + std::to_string(i), &overflowed)) {
      ++allowed;
      overflowedAllowed += overflowed ? 1 : 0;
    }
  }
  // Six more remembered keys beside "a" and "b", and one overflow line; eight keys in all.
  EXPECT_EQ(std::make_tuple(allowed, overflowedAllowed, limiter.Size()), std::make_tuple(7, 1, 8u));
  now += 59;
  EXPECT_FALSE(limiter.Allow("a"));
  now += 1;
  EXPECT_TRUE(limiter.Allow("a"));
  EXPECT_FALSE(limiter.Allow("a"));
  // Once the period is over, the old keys make room for new ones.
  now += 60;
  EXPECT_TRUE(limiter.Allow("fresh"));
  EXPECT_EQ(limiter.Size(), 1u);
}

}  // namespace
