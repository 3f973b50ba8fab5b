// TaskMutex: a plain (non-recursive) mutex over pthread_mutex_t, of the
// adaptive kind, that reports failures as small integer codes instead of
// throwing.
//
// Owned by whoever declares it; it is usually held for a scope through
// CriticalSection. Safe for concurrent use, provided the thread that locks a
// TaskMutex is the one that unlocks it.
#ifndef VIGILD_MULTITASK_TASKMUTEX_H
#define VIGILD_MULTITASK_TASKMUTEX_H

#include <pthread.h>

#include <atomic>

class TaskMutex {
 public:
  // Result codes; 0 is success.
  enum { kInitFailed = 1, kLockFailed = 2, kUnlockFailed = 3 };

  TaskMutex();
  ~TaskMutex();
  TaskMutex(const TaskMutex&) = delete;
  TaskMutex& operator=(const TaskMutex&) = delete;

  // 0 on success, else the code above (the init failure is returned for
  // every later call without touching the system mutex).
  int Lock();
  int Unlock();

  int Status() const { return status; }

  // While this switch is not 1, Lock and Unlock do nothing and return 0.
  // It is 1 from program start; Platform::initSocketsAndTasks sets it again.
  // Atomic because every thread reads it on every lock.
  static std::atomic<int> flActiveMutex;

 private:
  int status;  // constant after construction
  pthread_mutex_t mutex;
};

#endif  // VIGILD_MULTITASK_TASKMUTEX_H
