#include "TaskMutex.h"

std::atomic<int> TaskMutex::flActiveMutex{1};

TaskMutex::TaskMutex() : status(0) {
  if (pthread_mutex_init(&mutex, nullptr) != 0) {
    status = kInitFailed;
  }
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
