// End-to-end tests of the real vigild that sit through its one-minute time-outs and its grace
// wait, so they run in the plain build only.
#include "DaemonHarness.h"

namespace {

class SlowE2ETest : public DaemonHarness {};

// A process that ignores SIGTERM outlives its stop command: it gets the real grace wait (70 checks
// 2 s apart), then "kill -9", then the 10 s pause and its start command. Meanwhile a client that
// never says a word survives the first one-minute time-out and is dropped by the second.
TEST_F(SlowE2ETest, ProcessIgnoringItsStopIsKilledAfterTheGraceWaitAndAMuteClientIsDropped) {
  // The fixed 10 s pause before the start command, as the back-off keys give it.
  auto daemon = StartWith(
      "GLOBAL.WATCHMGR.RESTARTDELAY=10000\nGLOBAL.WATCHMGR.MAXRESTARTDELAY=10\n"
      "GLOBAL.WATCHMGR.RESTARTLIMIT=0\n");
  const int fd = ConnectWhenUp(), mute = ConnectTcp(port);
  const pid_t pid = Process(0, [](pid_t) {
    signal(SIGTERM, SIG_IGN);
    return std::string();
  });
  ASSERT_TRUE(fd >= 0 && mute >= 0 && pid > 0);
  const std::string id = std::to_string(pid), marker = home.Join("started");
  Send(fd, OverLimit(pid, "deaf", "kill " + id, "echo again > " + marker));
  ASSERT_TRUE(daemon->OutSays("STOPPING process with kill " + id));
  // Started here, where no ASSERT can leave it running.
  std::thread muteClient([&] {
    EXPECT_EQ(EndOf(mute, 70000), "open") << "dropped at the first time-out";
    EXPECT_EQ(EndOf(mute, 60000), "closed");
    EXPECT_TRUE(daemon->OutSays(
        "WARNING : Socket is mute for long time (more than 60 sec), connection will be closed",
        5000));
    close(mute);
  });
  const int64_t stopped = NowMs();
  EXPECT_TRUE(WaitUntil([&] { return !Alive(pid); }, 170000));
  const int64_t killed = NowMs();
  EXPECT_GE(killed - stopped, 135000);
  // Logged once the kill has been launched: maybe a moment after the death.
  EXPECT_TRUE(daemon->OutSays("INFO : KILLING process ID " + id, 5000));
  EXPECT_TRUE(WaitUntil([&] { return ReadAll(marker) == "again\n"; }, 20000));
  EXPECT_GE(NowMs() - killed, 9000);
  muteClient.join();
  close(fd);
}

TEST_F(SlowE2ETest, DaemonNobodyTalksToEndsAfterAboutAMinute) {
  auto daemon = Start();
  const int64_t begin = NowMs();
  EXPECT_EQ(daemon->WaitExit(80000), 0);
  EXPECT_GE(NowMs() - begin, 55000);
}

}  // namespace
