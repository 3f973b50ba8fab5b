// End-to-end tests of the real vigild that sit through its one-minute
// time-outs and its grace wait, so they run in the plain build only.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "DaemonHarness.h"
#include "TestSockets.h"
#include "TestWaits.h"

namespace {

using Clock = std::chrono::steady_clock;

class SlowE2ETest : public DaemonHarness {};

// A process that ignores SIGTERM outlives its stop command: it gets the
// real grace wait (70 checks 2 s apart), then "kill -9", then the 10 s pause
// and its start command.
TEST_F(SlowE2ETest, ProcessIgnoringItsStopCommandIsKilledAfterTheGraceWait) {
  // The fixed 10 s pause before the start command, as the back-off keys give it.
  auto daemon = StartWith(
      "GLOBAL.WATCHMGR.RESTARTDELAY=10000\nGLOBAL.WATCHMGR.MAXRESTARTDELAY=10\n"
      "GLOBAL.WATCHMGR.RESTARTLIMIT=0\n");
  const int fd = ConnectWhenUp();
  ASSERT_GE(fd, 0);
  const pid_t pid = Process(0, [](pid_t) {
    signal(SIGTERM, SIG_IGN);
    return std::string();
  });
  ASSERT_GT(pid, 0);
  const std::string id = std::to_string(pid), marker = home.Join("started");
  Send(fd, OverLimit(pid, "deaf", "kill " + id, "echo again > " + marker));
  ASSERT_TRUE(
      WaitUntil([&] { return Has(daemon->Out(), "STOPPING process with kill " + id); }, 10000));
  const auto stopped = Clock::now();
  EXPECT_TRUE(WaitUntil([&] { return !Alive(pid); }, 170000));
  const auto killed = Clock::now();
  EXPECT_GE(killed - stopped, std::chrono::seconds(135));
  // Logged once the kill has been launched: maybe a moment after the death.
  EXPECT_TRUE(
      WaitUntil([&] { return Has(daemon->Out(), "INFO : KILLING process ID " + id); }, 5000));
  EXPECT_TRUE(WaitUntil([&] { return ReadAll(marker) == "again\n"; }, 20000));
  EXPECT_GE(Clock::now() - killed, std::chrono::seconds(9));
  close(fd);
}

TEST_F(SlowE2ETest, DaemonNobodyTalksToEndsAfterAboutAMinute) {
  auto daemon = Start();
  const auto begin = Clock::now();
  EXPECT_EQ(daemon->WaitExit(80000), 0);
  EXPECT_GE(Clock::now() - begin, std::chrono::seconds(55));
  EXPECT_TRUE(Has(daemon->Out(), "Empty Process List (time to live 1 s)"));
}

TEST_F(SlowE2ETest, MuteClientSurvivesTheFirstTimeOutAndIsDroppedBySecond) {
  auto daemon = Start();
  const int keeper = ConnectWhenUp();
  ASSERT_GE(keeper, 0);
  Send(keeper, Watch(getpid(), "e2e"));  // keeps the table, and so the daemon, alive
  const int mute = ConnectTcp(port);
  ASSERT_GE(mute, 0);
  bool closed = false;
  EXPECT_EQ(BytesWithin(mute, 70000, &closed), 0u);
  EXPECT_FALSE(closed) << "dropped at the first time-out";
  EXPECT_EQ(BytesWithin(mute, 60000, &closed), 0u);
  EXPECT_TRUE(closed);
  EXPECT_TRUE(WaitUntil(
      [&] {
        return Has(daemon->Out(),
                   "WARNING : Socket is mute for long time (more than 60 sec), connection will be "
                   "closed");
      },
      5000));
  close(mute);
  close(keeper);
}

}  // namespace
