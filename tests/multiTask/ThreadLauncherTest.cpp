#include <gtest/gtest.h>
#include <signal.h>

#include "SignalHandler.h"
#include "TaskEvent.h"
#include "ThreadLauncher.h"

namespace {

// What a launched routine saw. The routine signals `ran` last and touches
// nothing afterwards, so the probe may go away once Wait has returned.
struct Probe {
  TaskEvent ran;
  unsigned threadId = 0;
  sigset_t mask;
};

void Record(void* arg) {
  Probe* probe = static_cast<Probe*>(arg);
  probe->threadId = ThreadLauncher::GetCurrentThreadNumericId();
  pthread_sigmask(SIG_BLOCK, nullptr, &probe->mask);
  probe->ran.Signal();
}

}  // namespace

TEST(ThreadLauncherTest, RoutineRunsOnItsOwnThreadWithEveryNonReservedSignalBlocked) {
  ThreadLauncher launcher;
  Probe probe;
  EXPECT_EQ(2, launcher.Create(nullptr, &probe));
  ASSERT_EQ(0, launcher.Create(Record, &probe));
  ASSERT_EQ(0, probe.ran.Wait(2000));
  EXPECT_NE(ThreadLauncher::GetCurrentThreadNumericId(), probe.threadId);
  // Faults stay open: they only ever reach the faulting thread. 32 and 33 belong to the C library.
  for (int s = 1; s <= SIGRTMAX; s = s == 31 ? SIGRTMIN : s + 1) {
    const bool fault = s == SIGSEGV || s == SIGBUS || s == SIGFPE || s == SIGILL;
    EXPECT_EQ(SignalHandler::catchable(s) && !fault, sigismember(&probe.mask, s) == 1) << s;
  }
}
