#include "TaskEvent.h"

#include <errno.h>
#include <sys/time.h>

namespace {

constexpr long kNanosPerSecond = 1000000000L;

// Moves time by milliseconds, either way, keeping tv_nsec within one second.
void AddMilliseconds(int milliseconds, timespec& time) {
  time.tv_sec += milliseconds / 1000;
  time.tv_nsec += (milliseconds % 1000) * 1000000L;
  if (time.tv_nsec >= kNanosPerSecond) {
    time.tv_nsec -= kNanosPerSecond;
    time.tv_sec += 1;
  } else if (time.tv_nsec < 0) {  // only a negative time-out gets here
    time.tv_nsec += kNanosPerSecond;
    time.tv_sec -= 1;
  }
}

// The steady clock's now plus milliseconds.
int SteadyDeadline(int milliseconds, timespec& deadline) {
  if (clock_gettime(CLOCK_MONOTONIC, &deadline) != 0) {
    return TaskEvent::kNoTime;
  }
  AddMilliseconds(milliseconds, deadline);
  return 0;
}

}  // namespace

TaskEvent::TaskEvent(Clock deadlineClock) : status(0), clock(deadlineClock), signalled(0) {
  if (pthread_mutex_init(&mutex, nullptr) != 0) {
    status = kMutexInitFailed;
    return;
  }
  pthread_condattr_t attributes;
  if (pthread_condattr_init(&attributes) != 0) {
    status = kCondInitFailed;
    return;
  }
  if ((deadlineClock == Clock::Steady &&
       pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC) != 0) ||
      pthread_cond_init(&condition, &attributes) != 0) {
    status = kCondInitFailed;
  }
  pthread_condattr_destroy(&attributes);
}

TaskEvent::~TaskEvent() {
  if (status == 0) {
    pthread_cond_destroy(&condition);
  }
  if (status == 0 || status == kCondInitFailed) {
    pthread_mutex_destroy(&mutex);
  }
}

int TaskEvent::Wait(int milliseconds) {
  if (status != 0) {
    return status;
  }
  timespec deadline{};
  if (milliseconds > 0 && (clock == Clock::Steady ? SteadyDeadline(milliseconds, deadline)
                                                  : GetAbsoluteTime(milliseconds, deadline)) != 0) {
    return kNoTime;
  }
  if (pthread_mutex_lock(&mutex) != 0) {
    return kLockFailed;
  }
  int result = 0;
  // The loop also absorbs spurious wake-ups: only a Signal sets the flag.
  while (signalled == 0 && result == 0) {
    const int rc = milliseconds >= 1 ? pthread_cond_timedwait(&condition, &mutex, &deadline)
                                     : pthread_cond_wait(&condition, &mutex);
    if (rc == ETIMEDOUT) {
      result = kTimedOut;
    } else if (rc != 0) {
      result = kWaitFailed;
    }
  }
  if (result != 0) {
    pthread_mutex_unlock(&mutex);
    return result;
  }
  signalled = 0;
  return pthread_mutex_unlock(&mutex) == 0 ? 0 : kUnlockFailed;
}

int TaskEvent::Signal() {
  if (status != 0) {
    return status;
  }
  if (pthread_mutex_lock(&mutex) != 0) {
    return kLockFailed;
  }
  signalled = 1;
  // Signalled under the lock: the waiter cannot return, and perhaps destroy
  // the event, before this thread is done with the condition.
  const bool woke = pthread_cond_signal(&condition) == 0;
  const bool unlocked = pthread_mutex_unlock(&mutex) == 0;
  if (!woke) {
    return kSignalFailed;
  }
  return unlocked ? 0 : kLockFailed;
}

int TaskEvent::GetAbsoluteTime(int milliseconds, timespec& deadline) {
  timeval now;
  if (gettimeofday(&now, nullptr) != 0) {
    return kNoTime;
  }
  deadline.tv_sec = now.tv_sec;
  deadline.tv_nsec = static_cast<long>(now.tv_usec) * 1000L;
  AddMilliseconds(milliseconds, deadline);
  return 0;
}
