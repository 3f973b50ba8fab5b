#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "Sleep.h"
#include "TaskEvent.h"

TEST(TaskEventTest, OneSignalWakesOneWaitAndAnUnsignalledWaitTimesOut) {
  TaskEvent event;
  ASSERT_EQ(0, event.Signal());
  ASSERT_EQ(0, event.Signal());  // signals do not add up
  EXPECT_EQ(0, event.Wait(100));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(5, event.Wait(300));
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(299));
  EXPECT_LT(elapsed, std::chrono::milliseconds(1300));
  for (int forever : {0, -1}) {
    std::atomic<bool> signalling{false};
    std::thread signaller([&] {
      Sleep(150);
      signalling = true;
      event.Signal();
    });
    EXPECT_EQ(0, event.Wait(forever));
    EXPECT_TRUE(signalling);
    signaller.join();
  }
}
