// End-to-end test of the daemon's event loop at scale.
#include <sys/resource.h>

#include "DaemonHarness.h"

namespace {

class EventLoopE2ETest : public DaemonHarness {};

// As many clients as the configured limit, a thousand, each register a
// process and keep their connection. The next client is closed unread and the
// refusal logged once, however many come; once one of the thousand leaves,
// the next is served.
TEST_F(EventLoopE2ETest, ThousandPersistentConnectionsAllRegisterAndTheThousandAndFirstIsClosed) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root: the orders act as root and the test holds 1000 sockets";
  }
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_max = std::max<rlim_t>(limit.rlim_max, 4096);  // RLIM_INFINITY is the largest
  limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? 4096 : limit.rlim_max;
  ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &limit));
  constexpr int kPrograms = 1000;
  // Made before the daemon and any connection, so that none holds one open.
  std::vector<pid_t> targets(kPrograms + 1);
  for (pid_t& target : targets) {
    target = Process();
  }
  auto daemon = StartWith("GLOBAL.WATCHMGR.MAXCLIENTS=1000\n", "1");
  // Processes in the status file; -1 while it cannot be read whole.
  const auto registered = [&] {
    const nlohmann::json table = At("/processes");
    return table.is_array() ? static_cast<int>(table.size()) : -1;
  };
  const auto connect = [&](pid_t target) {
    leftOpen.push_back(ConnectTcp(port));
    Send(leftOpen.back(), Watch(target, "scale", "", "", 0, "wdfreq: 300\n"));
    return !HasFatalFailure();
  };
  EXPECT_TRUE(WaitUntil([&] { return registered() == 0; }, 10000)) << daemon->Err();
  const int64_t start = NowMs();
  for (int i = 0; i < kPrograms; ++i) {
    ASSERT_TRUE(connect(targets[i])) << "connection " << i << "\n" << daemon->Err();
  }
  EXPECT_TRUE(WaitUntil([&] { return registered() == kPrograms; }, 20000))
      << registered() << " registered\n"
      << daemon->Err();
  EXPECT_LT(NowMs() - start, 20000);
  // One loop serves them all: no thread per connection. ThreadSanitizer's runtime adds a
  // background thread of its own to every process.
#if defined(__SANITIZE_THREAD__)
  constexpr int kRuntimeThreads = 1;
#else
  constexpr int kRuntimeThreads = 0;
#endif
  const std::string status = ReadAll("/proc/" + std::to_string(daemon->pid) + "/status");
  EXPECT_LE(std::atoi(status.substr(status.find("Threads:") + 8).c_str()), 8 + kRuntimeThreads);
  const auto ended = [](int fd) { return EndOf(fd, 1) != "open"; };
  EXPECT_EQ(0, std::count_if(leftOpen.begin(), leftOpen.end(), ended));

  for (int again = 0; again < 3; ++again) {
    const int refused = ConnectTcp(port);
    ASSERT_GE(refused, 0);
    EXPECT_EQ(EndOf(refused, 5000), "closed");
    close(refused);
  }
  EXPECT_TRUE(daemon->ErrSays("Too many clients at the same time, no more than 1000 allowed", 5000))
      << daemon->Err();
  // One line a minute, however many refusals.
  EXPECT_EQ(1u, Count(daemon->Err(), "Too many clients"));
  // The next client connects once the daemon has closed the one that left.
  shutdown(leftOpen.back(), SHUT_WR);
  ASSERT_EQ(EndOf(leftOpen.back(), 5000), "closed");
  ASSERT_TRUE(connect(targets[kPrograms]));
  EXPECT_TRUE(WaitUntil([&] { return registered() == kPrograms + 1; }, 10000)) << daemon->Err();
}

}  // namespace
