// The real vigild restarting what the real "vigilctl run" wraps: after kill -9, a failed
// check or a working set past its limit, and a crash loop's back-off, failure and reset.
#include <cmath>

#include "ChildProcess.h"
#include "CtlHarness.h"
#include "ShellWords.h"

using RestartPolicyE2ETest = CtlHarness;

TEST_F(RestartPolicyE2ETest, KilledServerServesAgainAtOnceStoppedOneFailsItsCheckAndHogItsLimit) {
  if (access("/usr/bin/python3", X_OK) != 0) {
    GTEST_SKIP() << "python3 is not installed: no program to restart";
  }
  StartDaemon();
  Keeper();
  const int serverPort = FreePort(), webPort = FreePort();
  // One line, as a start command must be; the last argument only names the home, so the fixture
  // finds the server.
  Run({"--name", "tcpd", "--", "/usr/bin/python3", "-c",
       "import socket, sys; s = socket.socket(); "
       "s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1); "
       "s.bind(('127.0.0.1', int(sys.argv[1]))); s.listen(16); "
       "[s.accept()[0].close() for _ in iter(int, 1)]",
       std::to_string(serverPort), home.path()},
      "tcpd");
  Run(ShellWordList("--name web --check http://127.0.0.1:" + std::to_string(webPort) +
                    "/ --check-every 1 --check-failures 2 --check-grace 1 --check-timeout 1 -- "
                    "/usr/bin/python3 -m http.server " +
                    std::to_string(webPort) + " --bind 127.0.0.1 --directory " + home.path()),
      "web");
  long first = -1, web = -1;
  ASSERT_TRUE(WaitUntil(
      [&] {
        return (first = PidOf("tcpd")) > 0 && Accepts(serverPort, 0) && (web = PidOf("web")) > 0 &&
               Accepts(webPort, 0);
      },
      15000))
      << ReadAll(RunErr("tcpd")) << ReadAll(RunErr("web")) << DaemonLog();
  const long webUp = NowMs();

  for (int round = 1; round <= 2; ++round) {
    ASSERT_EQ(0, kill(static_cast<pid_t>(first), SIGKILL));
    const long killedAt = NowMs();
    // The kernel completes connections on the socket until the killed process has ended; after
    // that only a new process can listen again.
    ASSERT_TRUE(WaitUntil([&] { return !Alive(static_cast<pid_t>(first)); }, 5000, 5));
    const bool back = WaitUntil([&] { return Accepts(serverPort, 0); }, 10000, 10);
    const long took = NowMs() - killedAt;
    ASSERT_TRUE(back) << "round " << round << "\n" << DaemonLog();
    EXPECT_LT(took, 2000) << "round " << round << ": serving again after " << took << " ms";
    // The status file is rewritten on its own second, so the new pid shows a little later.
    long next = -1;
    ASSERT_TRUE(WaitUntil([&] { return (next = PidOf("tcpd")) > 0 && next != first; }, 5000))
        << DaemonLog();
    EXPECT_TRUE(Alive(static_cast<pid_t>(next)));
    EXPECT_EQ("signal 9", At("/programs/tcpd/last_exit")) << StatusJson().dump();
    EXPECT_EQ("exit", At("/programs/tcpd/last_reason"));
    EXPECT_EQ(round, At("/programs/tcpd/restarts"));
    first = next;
  }
  EXPECT_EQ(128 + SIGKILL, WaitExit(owned[0], 5000)) << "the first wrapper ends with its child";

  // Past the grace, with checks passing, a healthy server is left alone.
  std::this_thread::sleep_for(std::chrono::milliseconds(std::max(0L, 2500 - (NowMs() - webUp))));
  ASSERT_EQ(web, PidOf("web")) << ReadAll(RunErr("web")) << DaemonLog();
  EXPECT_FALSE(Has(ReadAll(RunErr("web")), "failed")) << ReadAll(RunErr("web"));
  ASSERT_EQ(0, kill(static_cast<pid_t>(web), SIGSTOP));
  const long stoppedAt = NowMs();
  // Timed to the new server's first connection: the status file shows it up to a second later.
  const bool replaced =
      WaitUntil([&] { return !Alive(static_cast<pid_t>(web)) && Accepts(webPort, 0); }, 20000);
  const long took = NowMs() - stoppedAt;
  ASSERT_TRUE(replaced) << ReadAll(RunErr("web")) << DaemonLog();
  // check-every 1 s × check-failures 2 + 3 s, and 1.5 s for a loaded machine.
  EXPECT_LT(took, 2 * 1000 + 3000 + 1500) << "replaced after " << took << " ms";
  long next = -1;
  ASSERT_TRUE(WaitUntil([&] { return (next = PidOf("web")) > 0 && next != web; }, 5000))
      << DaemonLog();
  EXPECT_TRUE(Has(ReadAll(RunErr("web")), "check 2 of 2 failed: the program is stopped"))
      << ReadAll(RunErr("web"));
  EXPECT_EQ("probe", At("/programs/web/last_reason")) << StatusJson().dump();
  EXPECT_EQ(1, At("/programs/web/restarts"));

  // Grows by 1 MB every 50 ms up to 120 MB; its stop command "kill <child>" ends the wrapper.
  const pid_t hog =
      Run({"--name", "hog", "--wdfreq", "2", "--maxwset", "40000", "--", "/usr/bin/python3", "-c",
           "import time; b = []; "
           "[(b.append(bytearray(1000000)), time.sleep(0.05)) for _ in range(120)]; "
           "time.sleep(120)"},
          "hog");
  EXPECT_TRUE(daemon->ErrSays("hog, reachs Working Set uppper limit", 30000)) << DaemonLog();
  EXPECT_TRUE(Has(DaemonLog(), "> 40000")) << DaemonLog();
  EXPECT_EQ(128 + SIGTERM, WaitExit(hog, 30000)) << ReadAll(RunErr("hog"));
  // The fixture kills the daemon in its 10 s pause: nothing starts again behind the test's back.
  EXPECT_EQ(1, At("/restarts/hog"));
}

TEST_F(RestartPolicyE2ETest, CrashLoopBacksOffFailsAfterTheLimitAndStartsAgainOnReset) {
  StartDaemon(
      "GLOBAL.WATCHMGR.RESTARTLIMIT=3\n"
      "GLOBAL.WATCHMGR.RESTARTDELAY=200\n");
  Keeper();
  const std::string starts = Mark("crashy");
  // Each start notes, on the kernel's clock since boot, its wrapper's fork and its own exit, which
  // comes at once: often before its wrapper's registration reaches the daemon, whose end report
  // must still restart it. From an exit to the next fork runs the delay, with no start-up in it.
  Run({"--name", "crashy", "--", "/bin/sh", "-c",
       "read s < /proc/$PPID/stat; set -- $s; read up _ < /proc/uptime; echo ${22} $up >> " +
           starts + "; exit 1"},
      "crashy");
  struct Start {
    long long forked, exited;  // ms
  };
  const auto times = [&] {
    std::istringstream lines(ReadAll(starts));
    std::vector<Start> at;
    for (double ticks, uptime; lines >> ticks >> uptime;) {
      at.push_back(
          {std::llround(ticks * 1000 / sysconf(_SC_CLK_TCK)), std::llround(uptime * 1000)});
    }
    return at;
  };
  ASSERT_TRUE(WaitUntil([&] { return At("/programs/crashy/state") == "failed"; }, 20000))
      << ReadAll(starts) << StatusJson().dump() << DaemonLog();
  EXPECT_EQ(1, WaitExit(owned[0], 5000));

  // The first start and three restarts, each delay about twice the last (200 ms, then 400 and
  // 800 ms with ±10 % jitter), from the exit it follows to the fork of the restart.
  std::vector<Start> at = times();
  ASSERT_EQ(4u, at.size()) << ReadAll(starts);
  const auto gap = [&](size_t i) { return at[i].forked - at[i - 1].exited; };
  const long long least[] = {195, 355, 715};
  for (size_t i = 1; i < at.size(); ++i) {
    EXPECT_GE(gap(i), least[i - 1]) << "restart " << i;
    if (i > 1) {
      EXPECT_GT(gap(i), gap(i - 1)) << "restart " << i << " came no later than the last";
    }
  }
  // The log is written by its own thread, and may follow the status file by a moment.
  EXPECT_TRUE(
      daemon->ErrSays("crashy has failed: 3 restarts within 600 s; it is not started "
                      "again until 'vigilctl reset crashy' or a new registration",
                      5000))
      << DaemonLog();

  const nlohmann::json failed = At("/programs/crashy");
  EXPECT_EQ("exit 1", failed["last_exit"]);
  EXPECT_EQ("exit", failed["last_reason"]);
  const long restarts = failed["restarts"].get<long>();
  EXPECT_GE(restarts, 3);
  const auto metrics = [&] { return ReadAll(home.Join("vigild.prom")); };
  ASSERT_TRUE(WaitUntil(
      [&] { return Has(metrics(), "vigild_program_state{name=\"crashy\",state=\"failed\"} 1\n"); },
      5000))
      << metrics();
  EXPECT_TRUE(Has(metrics(), "vigild_program_state{name=\"crashy\",state=\"watching\"} 0\n"));
  EXPECT_TRUE(
      Has(metrics(), "vigild_restarts_total{name=\"crashy\"} " + std::to_string(restarts) + "\n"))
      << metrics();
  EXPECT_EQ("2|failed\n|", Told(Ctl({"status", "--check", "crashy"})));
  std::this_thread::sleep_for(std::chrono::milliseconds(2000));
  EXPECT_EQ(4u, times().size()) << "started after it failed";
  EXPECT_EQ("failed", At("/programs/crashy/state"));
  EXPECT_EQ(restarts, At("/programs/crashy")["restarts"].get<long>());

  // Reset starts it at once, and its back-off begins again from the first delay.
  const long resetAt = NowMs();
  EXPECT_PRED2(StartsWith, Told(Ctl({"reset", "crashy"})), "0|crashy: ");
  ASSERT_TRUE(WaitUntil([&] { return times().size() >= 5; }, 10000)) << DaemonLog();
  EXPECT_LT(NowMs() - resetAt, 5000);
  EXPECT_TRUE(WaitUntil([&] { return times().size() >= 6; }, 10000)) << DaemonLog();
  at = times();
  EXPECT_GE(gap(5), 195);
  EXPECT_LT(gap(5), gap(3)) << "the back-off did not begin again";
  EXPECT_TRUE(
      WaitUntil([&] { return At("/programs/crashy")["restarts"].get<long>() > restarts; }, 5000));
}
