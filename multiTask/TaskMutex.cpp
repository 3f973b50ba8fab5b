#include "TaskMutex.h"

std::atomic<int> TaskMutex::flActiveMutex{1};

TaskMutex::TaskMutex() : status(0) {
  // Adaptive: a locker that finds the mutex taken spins a little before it
  // sleeps. Most of the daemon's locks (the order counters, the log queue,
  // one table operation of an order) guard well under a microsecond, and
  // with many client threads a sleep and a wake-up per conflict cost more
  // than the work itself. A lock held longer only costs its waiters the
  // short spin before they sleep as they would anyway.
  pthread_mutexattr_t attributes;
  if (pthread_mutexattr_init(&attributes) != 0) {
    status = kInitFailed;
    return;
  }
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ADAPTIVE_NP);
  if (pthread_mutex_init(&mutex, &attributes) != 0) {
    status = kInitFailed;
  }
  pthread_mutexattr_destroy(&attributes);
}

TaskMutex::~TaskMutex() {
  if (status == 0) {
    pthread_mutex_destroy(&mutex);
  }
}

int TaskMutex::Lock() {
  if (flActiveMutex.load(std::memory_order_relaxed) != 1) {
    return 0;
  }
  if (status != 0) {
    return status;
  }
  return pthread_mutex_lock(&mutex) == 0 ? 0 : kLockFailed;
}

int TaskMutex::Unlock() {
  if (flActiveMutex.load(std::memory_order_relaxed) != 1) {
    return 0;
  }
  if (status != 0) {
    return status;
  }
  return pthread_mutex_unlock(&mutex) == 0 ? 0 : kUnlockFailed;
}
