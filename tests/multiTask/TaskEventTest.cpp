#include <gtest/gtest.h>
#include <sys/time.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "Sleep.h"
#include "TaskEvent.h"

namespace {

long MillisSince(std::chrono::steady_clock::time_point start) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - start)
                               .count());
}

}  // namespace

TEST(TaskEventTest, SignalIsConsumedByOneWaitAndAnUnsignalledWaitTimesOut) {
  TaskEvent event;
  ASSERT_EQ(0, event.Signal());
  ASSERT_EQ(0, event.Signal());  // signals do not add up
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(0, event.Wait(100));
  EXPECT_LT(MillisSince(start), 50);
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(TaskEvent::kTimedOut, event.Wait(300));
  EXPECT_GE(MillisSince(start), 299);
  EXPECT_LT(MillisSince(start), 1300);
}

TEST(TaskEventTest, WaitWithoutTimeOutReturnsOnlyAfterSignalFromAnotherThread) {
  for (int forever : {0, -1}) {
    TaskEvent event;
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

TEST(TaskEventTest, AbsoluteTimeCarriesNanosecondsIntoSeconds) {
  TaskEvent event;
  for (int ms : {0, 1, 500, 999, 1000, 1999, 2500}) {
    timeval before, after;
    timespec deadline;
    gettimeofday(&before, nullptr);
    ASSERT_EQ(0, event.GetAbsoluteTime(ms, deadline));
    gettimeofday(&after, nullptr);
    EXPECT_LT(deadline.tv_nsec, 1000000000L) << ms;
    const long long micros = deadline.tv_sec * 1000000LL + deadline.tv_nsec / 1000 - ms * 1000LL;
    EXPECT_GE(micros, before.tv_sec * 1000000LL + before.tv_usec) << ms;
    EXPECT_LE(micros, after.tv_sec * 1000000LL + after.tv_usec) << ms;
  }
}
