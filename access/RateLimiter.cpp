#include "RateLimiter.h"

#include <time.h>

#include "CriticalSection.h"

long RateLimiter::MonotonicSeconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long>(now.tv_sec);
}

RateLimiter::RateLimiter(long periodSeconds, size_t maxKeys, Clock now)
    : period(periodSeconds),
      capacity(maxKeys),
      clock(std::move(now)),
      overflowAt(0),
      overflowUsed(false) {}

bool RateLimiter::Allow(const std::string& key, bool* overflowed) {
  const long now = clock();
  CriticalSection lock(&mutex);
  auto found = lastAllowed.find(key);
  if (found != lastAllowed.end()) {
    if (now - found->second < period) {
      return false;
    }
    found->second = now;
    return true;
  }
  if (lastAllowed.size() >= capacity) {
    // Keys whose period is over need no memory: their next event is allowed
    // anyway.
    for (auto it = lastAllowed.begin(); it != lastAllowed.end();) {
      it = now - it->second >= period ? lastAllowed.erase(it) : std::next(it);
    }
  }
  if (lastAllowed.size() < capacity) {
    lastAllowed.emplace(key, now);
    return true;
  }
  if (overflowed != nullptr) {
    *overflowed = true;
  }
  if (overflowUsed && now - overflowAt < period) {
    return false;
  }
  overflowUsed = true;
  overflowAt = now;
  return true;
}

size_t RateLimiter::Size() {
  CriticalSection lock(&mutex);
  return lastAllowed.size();
}
