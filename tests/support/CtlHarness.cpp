#include "CtlHarness.h"

CtlHarness::~CtlHarness() {
  daemon.reset();
  // Programs the daemon started again are nobody's children here, but every
  // wrapper a test starts names the home in its arguments or its start command.
  for (int round = 0; round < 3; ++round) {
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
      const pid_t pid = static_cast<pid_t>(atol(entry.path().filename().c_str()));
      if (pid > 0 && pid != getpid() && Has(ReadAll(entry.path() / "cmdline"), home.path())) {
        kill(pid, SIGKILL);
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

void CtlHarness::StartDaemon(const std::string& more, const char* level) {
  daemon =
      StartWith("GLOBAL.WATCHMGR.METRICSFILE=" + home.Join("vigild.prom") + "\n" + more, level);
  ASSERT_TRUE(WaitUntil([&] { return Status().status == 0; }, 15000)) << DaemonLog();
}

pid_t CtlHarness::Keeper() {
  const pid_t sleeper = Process();
  const std::string id = std::to_string(sleeper);
  EXPECT_EQ("0||", Told(Ctl({"watch", "--pid", id, "--name", "keeper", "--start", "true", "--stop",
                             "kill " + id})));
  return sleeper;
}
