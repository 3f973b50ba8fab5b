// The real vigild under a stand-in service manager: its messages, and a
// daemon killed and started again as the watchdog's restart does it.
#include <sys/ptrace.h>

#include "DaemonHarness.h"
#include "FakeServiceManager.h"

namespace {

using NotifyE2ETest = DaemonHarness;

// READY within 2 s of the start, once the port takes orders; a status line
// when the table changes; a ping each pass, a second apart: the gap bound
// sits well under the two seconds of a ping every other pass, with room for
// a host that stalls the daemon a few hundred milliseconds (a 1,305 ms gap
// in a full parallel run); STOPPING at SIGTERM. The
// sanitizer builds get more room: their start-up alone takes a good part of
// a second. A service manager restarts a hung daemon by killing it alone,
// sparing its children: the wrapper's next heartbeat finds its connection
// broken, connects anew and registers the same child, and only it.
TEST_F(NotifyE2ETest, ServiceManagerHearsEachStepAndARestartedDaemonAdoptsTheWrappedProgram) {
  FakeServiceManager manager(home.Join("notify"));
  ASSERT_TRUE(manager.Bound());
  const std::vector<std::string> env{"NOTIFY_SOCKET=" + manager.path, "WATCHDOG_USEC=2000000"};
  const int64_t startedAt = NowMs(), readyMs = kSanitized ? 3000 : 2000,
                gapMs = kSanitized ? 1750 : 1500;
  auto first = StartWith("", "5", env);
  ASSERT_TRUE(manager.WaitFor("READY=1", 10000)) << first->Out();
  EXPECT_LE(manager.Times("READY=1")[0] - startedAt, readyMs);
  EXPECT_TRUE(Accepts(0, 1000));
  const pid_t wrapper = Run({"--name", "keeper", "--wdfreq", "2", "--", "sleep", "300"}, "");
  ASSERT_TRUE(manager.WaitFor("STATUS=1 watched, 0 restarting, 0 failed", 5000)) << manager.Texts();
  long pid = -1;
  ASSERT_TRUE(WaitUntil([&] { return (pid = PidOf("keeper")) > 0; }, 10000)) << ReadAll(RunErr(""));
  processes.push_back(static_cast<pid_t>(pid));
  const std::string child = std::to_string(pid);
  std::this_thread::sleep_for(std::chrono::milliseconds(4000));
  const std::vector<int64_t> pings = manager.Times("WATCHDOG=1");
  ASSERT_GE(pings.size(), 5u) << manager.Texts();
  for (size_t i = 1; i < pings.size(); ++i) {
    EXPECT_LE(pings[i] - pings[i - 1], gapMs) << "ping " << i;
  }
  // The pings come from the passes: with the supervision thread (the main
  // one) held and the rest of the daemon running, none comes, so the service
  // manager would restart a daemon whose supervision hangs.
  ASSERT_EQ(0, ptrace(PTRACE_SEIZE, first->pid, nullptr, nullptr));
  ASSERT_EQ(0, ptrace(PTRACE_INTERRUPT, first->pid, nullptr, nullptr));
  ASSERT_EQ(first->pid, waitpid(first->pid, nullptr, __WALL));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // a ping already on its way
  const size_t held = manager.Times("WATCHDOG=1").size();
  EXPECT_TRUE(Accepts(0, 1000));
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  EXPECT_EQ(manager.Times("WATCHDOG=1").size(), held) << manager.Texts();
  ASSERT_EQ(0, ptrace(PTRACE_DETACH, first->pid, nullptr, nullptr));
  EXPECT_TRUE(WaitUntil([&] { return manager.Times("WATCHDOG=1").size() > held; }, 3000));

  kill(first->pid, SIGKILL);
  EXPECT_EQ(first->WaitExit(5000), 128 + SIGKILL);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  auto second = StartWith("", "5", env);
  // "daemon pid:" and the pid of each process named keeper, from the status file.
  // Two reads: once the first shows the new daemon's pid, the second is of its file too.
  const auto keepers = [&] {
    std::string text = At("/daemon/pid").dump() + ":";
    for (const auto& process : At("/processes")) {
      text += process["name"] == "keeper" ? " " + process["pid"].dump() : "";
    }
    return text;
  };
  const std::string adopted = std::to_string(second->pid) + ": " + child;
  // Should the new daemon never show the wrapper, the logs tell which side fell short. A wrapper
  // that wrote nothing saw no refused connection: it is gone, or reached another listener.
  ASSERT_TRUE(WaitUntil([&] { return keepers() == adopted; }, 15000))
      << keepers() << "\nwrapper " << (Alive(wrapper) ? "running" : "gone")
      << ", wrote: " << ReadAll(RunErr("")) << "\nlogs:\n"
      << LogFilesText();
  // A few passes later: still the one process, and the wrapper has started no other.
  std::this_thread::sleep_for(std::chrono::milliseconds(3000));
  EXPECT_EQ(keepers(), adopted);
  EXPECT_EQ(waitpid(wrapper, nullptr, WNOHANG), 0) << ReadAll(RunErr(""));
  EXPECT_EQ(ReadAll("/proc/" + std::to_string(wrapper) + "/task/" + std::to_string(wrapper) +
                    "/children"),
            child + " ");

  kill(second->pid, SIGTERM);
  ASSERT_TRUE(manager.WaitFor("STOPPING=1", 2000)) << manager.Texts();
  EXPECT_EQ(second->WaitExit(10000), 0);
  const std::vector<FakeServiceManager::Message> messages = manager.Messages();
  EXPECT_EQ(messages.front().text, "READY=1");
  EXPECT_EQ(messages.back().text, "STOPPING=1");
  EXPECT_LE(manager.Times("STOPPING=1")[0] - manager.Times("WATCHDOG=1").back(), gapMs);
}

}  // namespace
