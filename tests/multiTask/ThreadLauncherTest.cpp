#include <gtest/gtest.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>

#include <string>

#include "SignalHandler.h"
#include "Sleep.h"
#include "StderrCapture.h"
#include "TaskEvent.h"
#include "ThreadLauncher.h"

namespace {

// What a launched routine saw. The routine signals `ran` last and touches
// nothing afterwards, so the probe may go away once Wait has returned.
struct Probe {
  TaskEvent ran;
  void* argument = nullptr;
  unsigned threadId = 0;
  sigset_t mask;
};

void Record(void* arg) {
  Probe* probe = static_cast<Probe*>(arg);
  probe->argument = arg;
  probe->threadId = ThreadLauncher::GetCurrentThreadNumericId();
  pthread_sigmask(SIG_BLOCK, nullptr, &probe->mask);
  probe->ran.Signal();
}

void RecordAndThrow(void* arg) {
  Record(arg);
  throw SignalHandler::SignalException(SIGSEGV);
}

bool ThreadAlive(unsigned id) {
  struct stat info;
  return stat(("/proc/self/task/" + std::to_string(id)).c_str(), &info) == 0;
}

class ThreadLauncherTest : public ::testing::Test {
 protected:
  void TearDown() override { ThreadLauncher::stackSize = 0; }
  ThreadLauncher launcher;
  Probe probe;
};

}  // namespace

TEST_F(ThreadLauncherTest, NullRoutineAndTooSmallStacksAreRefusedAndTheLauncherStaysUsable) {
  ASSERT_EQ(0, launcher.Status());
  EXPECT_EQ(ThreadLauncher::kNoRoutine, launcher.Create(nullptr, &probe));
  ThreadLauncher::stackSize = 1;
  EXPECT_EQ(ThreadLauncher::kStackSizeRejected, ThreadLauncher().Status());
  ThreadLauncher::stackSize = PTHREAD_STACK_MIN - 1;
  EXPECT_EQ(ThreadLauncher::kStackSizeRejected, launcher.Create(Record, &probe));
  ThreadLauncher::stackSize = 0;
  ASSERT_EQ(0, launcher.Create(Record, &probe));
  EXPECT_EQ(0, probe.ran.Wait(2000));
}

TEST_F(ThreadLauncherTest, RoutineRunsWithItsArgumentOnItsOwnThreadWithSignalsBlocked) {
  ASSERT_EQ(0, launcher.Create(Record, &probe));
  ASSERT_EQ(0, probe.ran.Wait(2000));
  EXPECT_EQ(&probe, probe.argument);
  EXPECT_NE(ThreadLauncher::GetCurrentThreadNumericId(), probe.threadId);
  for (int s : {SIGTERM, SIGINT, SIGPIPE, SIGUSR1, SIGHUP, SIGCHLD, SIGTSTP}) {
    EXPECT_EQ(1, sigismember(&probe.mask, s)) << s;
  }
  // Reserved signals, and faults, which only ever reach the faulting thread.
  for (int s : {SIGALRM, SIGTRAP, SIGSEGV, SIGBUS, SIGFPE, SIGILL}) {
    EXPECT_EQ(0, sigismember(&probe.mask, s)) << s;
  }
}

TEST_F(ThreadLauncherTest, SignalExceptionEndsOnlyTheLaunchedThreadWithAMessage) {
  StderrCapture capture;
  ASSERT_EQ(0, launcher.Create(RecordAndThrow, &probe));
  ASSERT_EQ(0, probe.ran.Wait(2000));
  for (int i = 0; i < 200 && ThreadAlive(probe.threadId); ++i) {
    Sleep(10);
  }
  EXPECT_FALSE(ThreadAlive(probe.threadId));
  EXPECT_NE(std::string::npos, capture.Stop().find("Caught SignalException!  Terminating thread " +
                                                   std::to_string(probe.threadId) + "\n"));
  ASSERT_EQ(0, launcher.Create(Record, &probe));  // the process and the launcher go on
  EXPECT_EQ(0, probe.ran.Wait(2000));
}
