#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "CriticalSection.h"
#include "TaskMutex.h"

TEST(TaskMutexTest, CriticalSectionSerialisesIncrementsFromManyThreads) {
  TaskMutex mutex;
  long counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&mutex, &counter] {
      for (int i = 0; i < 100000; ++i) {
        CriticalSection lock(&mutex);
        ++counter;
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(400000, counter);
}
