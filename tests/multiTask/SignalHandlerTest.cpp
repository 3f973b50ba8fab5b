#include <gtest/gtest.h>
#include <signal.h>

#include "Platform.h"
#include "SignalHandler.h"

TEST(SignalHandlerTest, ReservedAndUncatchableSignalsAreNotCatchable) {
  const int* reserved = Platform::reservedSignals();
  EXPECT_EQ(SIGALRM, reserved[0]);
  int last = 0;
  for (const int* s = reserved; *s != 0; ++s) {
    EXPECT_FALSE(SignalHandler::catchable(*s)) << *s;
    last = *s;
  }
  EXPECT_EQ(SIGTRAP, last);
  for (int s : {SIGKILL, SIGSTOP, 0, -1, NSIG}) {
    EXPECT_FALSE(SignalHandler::catchable(s)) << s;
  }
  for (int s : {SIGTERM, SIGINT, SIGSEGV, SIGUSR1, SIGCHLD, SIGRTMIN, SIGRTMAX}) {
    EXPECT_TRUE(SignalHandler::catchable(s)) << s;
  }
}
