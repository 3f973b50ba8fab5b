// End-to-end: the real vigild restarts one process without holding up the judgement of the others.
#include "CtlHarness.h"

using RestartE2ETest = CtlHarness;

// A stop command that never returns holds its item in the grace wait; meanwhile a silent item is
// still stopped in time, and three restarts, each with a 5 s pause longer than the heartbeat
// period, never delay the judgement of a process with a higher pid (judged after them in every
// pass) that beats every second.
TEST_F(RestartE2ETest, AHungStopCommandOrARestartPauseDelaysNoOtherItemsJudgement) {
  daemon = StartWith("GLOBAL.WATCHMGR.RESTARTDELAY=5000\nGLOBAL.WATCHMGR.MAXRESTARTDELAY=5\n");
  const pid_t hung = Process(), silent = Process();
  const std::vector<pid_t> flaky{Process(), Process(), Process()};
  const pid_t steady = Process();
  ASSERT_TRUE(hung > 0 && silent > 0 && flaky[0] > 0 && flaky[1] > 0 && flaky[2] > 0 && steady > 0);
  const int beats = ConnectWhenUp(), fd = ConnectWhenUp();
  ASSERT_TRUE(beats >= 0 && fd >= 0);
  leftOpen.insert(leftOpen.end(), {beats, fd});
  const std::string hungPid = home.Join("hung.pid");
  Send(fd, OverLimit(hung, "hung", "sh -c 'echo $$ > " + hungPid + "; exec sleep 100'"));
  ASSERT_TRUE(WaitUntil([&] { return ReadAll(hungPid).size() > 1; }, 10000)) << DaemonLog();
  processes.push_back(std::stoi(ReadAll(hungPid)));  // the stop command, killed at the end
  constexpr int kWdFreq = 2;
  Send(fd, Watch(silent, "silent", "kill " + std::to_string(silent), "", 0,
                 "wdfreq: " + std::to_string(kWdFreq) + "\n") +
               Beat(silent, 0));
  const int64_t lastBeat = NowMs();
  // Its stop command ends it; two seconds more for a loaded machine to run
  // it, far short of the grace wait that a pass held by the hung stop would add.
  EXPECT_TRUE(WaitUntil([&] { return !Alive(silent); }, 20000)) << DaemonLog();
  EXPECT_LT(NowMs() - lastBeat, (kWdFreq + 2 + 2) * 1000);

  Send(beats, Watch(steady, "steady", "touch " + Mark("steady-stopped"), "", 0, "wdfreq: 2\n"));
  std::atomic<bool> done{false};
  std::thread beating([&] {
    while (!done.load()) {
      Send(beats, Beat(steady, 0));
      std::this_thread::sleep_for(std::chrono::seconds(1));
    }
  });
  for (pid_t pid : flaky) {
    Send(fd, OverLimit(pid, "flaky", "kill " + std::to_string(pid)));
    EXPECT_TRUE(WaitUntil([&] { return !Alive(pid); }, 10000)) << DaemonLog();
    std::this_thread::sleep_for(std::chrono::seconds(3));  // into its pause
  }
  // The last one's pause, and the passes after it; the silent item's restart too.
  EXPECT_TRUE(WaitUntil(
      [&] { return Count(DaemonLog(), "Starting new Process") == flaky.size() + 1; }, 20000))
      << DaemonLog();
  std::this_thread::sleep_for(std::chrono::seconds(2));
  done = true;
  beating.join();
  EXPECT_TRUE(Alive(steady)) << "signalled in another item's restart";
  EXPECT_EQ(PidOf("steady"), steady) << "never registered, or dropped";
  EXPECT_FALSE(Has(DaemonLog(), "process #" + std::to_string(steady) + " steady")) << DaemonLog();
  EXPECT_FALSE(Exists("steady-stopped"));
  EXPECT_TRUE(Alive(hung)) << "the hung item is still in its grace wait";
}
