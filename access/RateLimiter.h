// RateLimiter: answers whether a repeated event about one key (a peer
// address, a user) may be logged now: at most once per period per key. The
// memory is bounded: at most `capacity` keys are remembered; when they are
// all recent, keys beyond them share one overflow slot, so a flood from many
// keys costs at most one more line per period and no memory growth.
//
// Owned by whoever logs through it. Safe for concurrent use: the remembered
// keys are guarded by the limiter's own mutex.
#ifndef VIGILD_ACCESS_RATELIMITER_H
#define VIGILD_ACCESS_RATELIMITER_H

#include <stddef.h>

#include <functional>
#include <map>
#include <string>

#include "TaskMutex.h"

class RateLimiter {
 public:
  // Monotonic seconds; tests pass their own clock.
  using Clock = std::function<long()>;
  static long MonotonicSeconds();

  RateLimiter(long periodSeconds, size_t capacity, Clock clock = MonotonicSeconds);
  RateLimiter(const RateLimiter&) = delete;
  RateLimiter& operator=(const RateLimiter&) = delete;

  // True when nothing about key was allowed within the last period, and
  // notes now as its time. When every remembered key is recent and key is
  // not one of them, the answer is that of the shared overflow slot, and
  // overflowed (when given) is set to true.
  bool Allow(const std::string& key, bool* overflowed = nullptr);
  // Keys remembered now (never more than capacity).
  size_t Size();

 private:
  const long period;
  const size_t capacity;
  const Clock clock;
  TaskMutex mutex;                          // guards lastAllowed and overflowAt
  std::map<std::string, long> lastAllowed;  // key -> time of its last allowed event
  long overflowAt;                          // time the overflow slot was last allowed
  bool overflowUsed;
};

#endif  // VIGILD_ACCESS_RATELIMITER_H
