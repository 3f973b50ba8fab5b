// End-to-end tests of the daemon's event loop at scale.
#include <sys/resource.h>

#include "DaemonHarness.h"

namespace {

class EventLoopE2ETest : public DaemonHarness {
 protected:
  void SetUp() override {
    if (geteuid() != 0) {
      GTEST_SKIP() << "needs root: the orders act as root and the test holds 1000 sockets";
    }
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_max = std::max<rlim_t>(limit.rlim_max, 4096);  // RLIM_INFINITY is the largest
    limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? 4096 : limit.rlim_max;
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &limit));
  }
  // Processes to register, made before the daemon and any connection so that
  // none holds one open; the daemon then starts with lines.
  std::vector<pid_t> TargetsThenStart(int count, const std::string& lines) {
    std::vector<pid_t> targets(static_cast<size_t>(count));
    for (pid_t& target : targets) {
      target = Process();
    }
    daemon = StartWith(lines, "1");
    EXPECT_TRUE(WaitUntil([&] { return Registered() == 0; }, 10000)) << Err();
    return targets;
  }
  std::string Err() const { return daemon->Err(); }
  bool Register(pid_t target) {
    const int fd = ConnectTcp(port);
    leftOpen.push_back(fd);
    Send(fd, Watch(target, "scale", "", "", 0, "wdfreq: 300\n"));
    return !HasFatalFailure();
  }
  // Processes in the status file; -1 while it cannot be read whole.
  int Registered() const {
    const nlohmann::json table = At("/processes");
    return table.is_array() ? static_cast<int>(table.size()) : -1;
  }

  std::unique_ptr<Daemon> daemon;
};

TEST_F(EventLoopE2ETest, ThousandPersistentConnectionsAllRegister) {
  constexpr int kPrograms = 1000;
  const std::vector<pid_t> targets = TargetsThenStart(kPrograms, "");
  const int64_t start = NowMs();
  for (int i = 0; i < kPrograms; ++i) {
    ASSERT_TRUE(Register(targets[i])) << "connection " << i << "\n" << Err();
  }
  EXPECT_TRUE(WaitUntil([&] { return Registered() == kPrograms; }, 20000))
      << Registered() << " registered\n"
      << Err();
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
}

// With the client limit at 32, the 33rd connection is closed unread and the
// refusal logged; once one of the 32 leaves, the next client is served.
TEST_F(EventLoopE2ETest, ThirtyThirdClientIsClosedWithTheLimitAtThirtyTwo) {
  const std::vector<pid_t> targets = TargetsThenStart(33, "GLOBAL.WATCHMGR.MAXCLIENTS=32\n");
  for (int i = 0; i < 32; ++i) {
    ASSERT_TRUE(Register(targets[i])) << i;
  }
  ASSERT_TRUE(WaitUntil([&] { return Registered() == 32; }, 10000)) << Err();
  for (int again = 0; again < 3; ++again) {
    const int refused = ConnectTcp(port);
    ASSERT_GE(refused, 0);
    EXPECT_EQ(EndOf(refused, 5000), "closed");
    close(refused);
  }
  EXPECT_TRUE(daemon->ErrSays("Too many clients at the same time, no more than 32 allowed", 5000))
      << Err();
  EXPECT_EQ(1u, Count(Err(), "Too many clients"));  // one line a minute, however many refusals
  // One of the 32 leaves; the next client connects once the daemon has closed that one.
  shutdown(leftOpen.back(), SHUT_WR);
  ASSERT_EQ(EndOf(leftOpen.back(), 5000), "closed");
  ASSERT_TRUE(Register(targets[32]));
  EXPECT_TRUE(WaitUntil([&] { return Registered() == 33; }, 10000)) << Err();
}

}  // namespace
