#include "TaskMutex.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include "CriticalSection.h"

namespace {

struct Shared {
  TaskMutex mutex;
  long counter = 0;
};

void* Increment(void* arg) {
  Shared* shared = static_cast<Shared*>(arg);
  for (int i = 0; i < 100000; ++i) {
    CriticalSection lock(&shared->mutex);
    ++shared->counter;
  }
  return nullptr;
}

}  // namespace

TEST(TaskMutexTest, CriticalSectionSerialisesIncrementsFromManyThreads) {
  Shared shared;
  pthread_t threads[4];
  for (pthread_t& t : threads) {
    ASSERT_EQ(0, pthread_create(&t, nullptr, Increment, &shared));
  }
  for (pthread_t& t : threads) {
    pthread_join(t, nullptr);
  }
  EXPECT_EQ(400000, shared.counter);
}

TEST(TaskMutexTest, InactiveSwitchMakesLockAndUnlockNoOps) {
  TaskMutex mutex;
  ASSERT_EQ(0, mutex.Lock());
  TaskMutex::flActiveMutex = 0;
  // With the switch off a second Lock on a held mutex must not block.
  EXPECT_EQ(0, mutex.Lock());
  EXPECT_EQ(0, mutex.Unlock());
  TaskMutex::flActiveMutex = 1;
  EXPECT_EQ(0, mutex.Unlock());
  EXPECT_EQ(0, mutex.Lock());
  EXPECT_EQ(0, mutex.Unlock());
  CriticalSection nullLock(nullptr);  // a null mutex is allowed
}
