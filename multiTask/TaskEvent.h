// TaskEvent: an auto-reset event. Signal() wakes one waiter, or stays pending
// until the next Wait consumes it; Wait takes a time-out in milliseconds (0 or
// less waits for ever). Failures are small integer codes, never exceptions.
//
// A timed wait ends at a deadline on the time of day, unless the event is
// built on the steady clock: a periodic worker's wait must not last an hour
// because the time of day was set back an hour while it waited.
//
// Owned by whoever declares it. Safe for concurrent use by one waiting thread
// and any number of signalling threads. A waiter may destroy the event as soon
// as its Wait has returned 0: the signaller no longer touches it by then.
#ifndef VIGILD_MULTITASK_TASKEVENT_H
#define VIGILD_MULTITASK_TASKEVENT_H

#include <pthread.h>
#include <time.h>

class TaskEvent {
 public:
  // Result codes; 0 is success.
  enum {
    kMutexInitFailed = 2,
    kCondInitFailed = 3,
    kWaitFailed = 4,
    kTimedOut = 5,
    kLockFailed = 7,
    kUnlockFailed = 8,
    kSignalFailed = 9,
    kNoTime = 10
  };

  enum class Clock { TimeOfDay, Steady };

  explicit TaskEvent(Clock clock = Clock::TimeOfDay);
  ~TaskEvent();
  TaskEvent(const TaskEvent&) = delete;
  TaskEvent& operator=(const TaskEvent&) = delete;

  // 0 when signalled (the signal is consumed), kTimedOut, or another code.
  int Wait(int milliseconds);
  int Signal();

  // The time of day plus milliseconds, as the absolute deadline a timed
  // condition wait expects (the condition uses the same real-time clock).
  int GetAbsoluteTime(int milliseconds, timespec& deadline);

  int Status() const { return status; }

 private:
  int status;             // constant after construction
  const Clock clock;      // the timed waits' deadline is on it
  int signalled;          // guarded by mutex
  pthread_mutex_t mutex;  // guards signalled
  pthread_cond_t condition;
};

#endif  // VIGILD_MULTITASK_TASKEVENT_H
