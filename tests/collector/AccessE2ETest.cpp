// End-to-end tests of who the real vigild takes orders from, and who may act
// on whose items.
#include <netinet/tcp.h>

#include "DaemonHarness.h"
#include "StderrCapture.h"  // CountOpenDescriptors

namespace {

// The owner of a mark, as "uid:gid".
std::string Owner(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) != 0
             ? "none"
             : std::to_string(info.st_uid) + ":" + std::to_string(info.st_gid);
}

class AccessE2ETest : public DaemonHarness {
 protected:
  // One program per command, so that a command filter can admit the stop.
  AccessE2ETest() {
    home.WriteFile("marks/stop.sh", "touch \"$(dirname \"$0\")/$1\"; kill \"$2\"\n");
  }
  // A client of uid's over its limit at once: the next pass touches marks/<name> and kills it.
  pid_t Touching(uid_t uid, const char* from, const std::string& name) {
    const auto orders = [&](pid_t pid) {
      return OverLimit(pid, name,
                       "/bin/sh " + Mark("stop.sh") + " " + name + " " + std::to_string(pid));
    };
    return Process(uid, orders, from);
  }
  // Whether a client of root's over its limit gets its stop command run.
  bool RootRegisters(const std::string& name) {
    return Touching(0, "127.0.0.1", name) > 0 && WaitUntil([&] { return Exists(name); }, 30000);
  }
};

class AccessAsNobodyE2ETest : public AccessE2ETest {
 protected:
  void SetUp() override {
    if (geteuid() != 0) {
      GTEST_SKIP() << "needs root to run clients as nobody";
    }
  }
};

// The daemon serves a handed-over IPv6 socket, on which clients of 127.0.0.x
// arrive as ::ffff:127.0.0.x and must be judged as their IPv4 selves.
TEST_F(AccessE2ETest, PeerOrCommandOutsideItsListIsRefusedAsIpv4AndABurstOfPeersLogsOnce) {
  const int handed = socket(AF_INET6, SOCK_STREAM, 0);
  const int off = 0, on = 1;
  setsockopt(handed, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
  setsockopt(handed, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in6 address{AF_INET6, htons(static_cast<uint16_t>(port)), 0, in6addr_any, 0};
  ASSERT_EQ(0, bind(handed, reinterpret_cast<sockaddr*>(&address), sizeof address));
  ASSERT_EQ(0, listen(handed, 256));
  leftOpen.push_back(handed);
  auto daemon = StartWith(
      "GLOBAL.WATCHMGR.ALLOWEDPEERS=127.0.0.1\n"
      "GLOBAL.WATCHMGR.ALLOWEDCOMMANDS=(touch|/bin/sh) [-/.a-zA-Z0-9]+( [0-9a-z]+)*\n",
      "5", {}, -1, handed);
  ASSERT_GE(Anchor(), 0);
  const pid_t outsider = Touching(0, "127.0.0.2", "outsider");
  const pid_t bad = Process(0, [&](pid_t pid) {
    return OverLimit(pid, "bad", "touch " + Mark("bad") + " && kill " + std::to_string(pid));
  });
  ASSERT_TRUE(outsider > 0 && bad > 0);
  // All are over their limit from the start: one pass stops every registered one.
  ASSERT_TRUE(RootRegisters("insider")) << daemon->Err();
  EXPECT_FALSE(Exists("outsider") || Exists("bad"));
  EXPECT_TRUE(Alive(outsider) && Alive(bad));
  const std::string refusal =
      "WARNING : Connection from 127.0.0.2 refused: peer not in WATCHMGR.ALLOWEDPEERS (127.0.0.1)";
  // The console has its own writer thread: the pass's Error line, queued
  // after both refusals, shows they are written.
  EXPECT_TRUE(daemon->ErrSays("reachs Working Set uppper limit"));
  EXPECT_EQ(Count(daemon->Err(), refusal), 1u) << daemon->Err();
  // The refusal's wording and severity are decided where commands are judged.
  EXPECT_EQ(
      Count(daemon->Err(), "Watch order for pid " + std::to_string(bad) + " refused: command"), 1u)
      << daemon->Err();

  const long baseline = CountOpenDescriptors(daemon->pid);
  ASSERT_GT(baseline, 0) << "the daemon's descriptors cannot be listed";
  const size_t linesBefore = Count(daemon->Err(), "\n");
  std::vector<int> burst(200);
  for (int& fd : burst) {
    fd = ConnectTcp(port, "127.0.0.2");
  }
  for (int fd : burst) {  // a connection that failed reads as "failed"
    const std::string end = EndOf(fd, 5000);
    EXPECT_TRUE(end == "closed" || end == "reset") << end;
    close(fd);
  }
  EXPECT_TRUE(WaitUntil([&] { return CountOpenDescriptors(daemon->pid) <= baseline; }, 10000))
      << CountOpenDescriptors(daemon->pid) << " > " << baseline;
  EXPECT_LE(Count(daemon->Err(), "\n") - linesBefore, 3u) << daemon->Err();
  EXPECT_EQ(Count(daemon->Err(), refusal), 1u);
  EXPECT_EQ(daemon->WaitExit(0), -1);
}

// Under the default users (root and the daemon's own), nobody resetting in a
// loop, nobody's orders and nobody's corked orders whose connection is gone
// before they are read: the log stays small, nothing of nobody's runs, and
// root is served throughout.
TEST_F(AccessAsNobodyE2ETest, RefusedUserIsNeverServedNorFloodsTheLogWhileRootIs) {
  auto daemon = Start();
  // The test's own process keeps the daemon running once root's clients are stopped.
  ASSERT_GE(Anchor(), 0) << daemon->Err();
  const size_t before = Count(daemon->Err(), "\n");
  std::vector<std::thread> loops;
  for (int i = 0; i < 4; ++i) {
    loops.emplace_back([&] {
      AsUser(kNobody, [&] {
        for (const int64_t end = NowMs() + 4000; NowMs() < end;) {
          const int fd = ConnectTcp(port);
          const linger reset{1, 0};
          setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
          close(fd);
        }
        return true;
      });
    });
  }
  const bool served = RootRegisters("root");
  for (std::thread& loop : loops) {
    loop.join();
  }
  EXPECT_TRUE(served) << daemon->Err();
  EXPECT_LE(Count(daemon->Err(), "\n") - before, 20u) << daemon->Err().substr(0, 4000);
  EXPECT_FALSE(Has(daemon->Err(), "Too many clients"));

  const pid_t stranger = Touching(kNobody, "127.0.0.1", "stranger");
  ASSERT_GT(stranger, 0);
  // Filler lines, then the order, in one segment; the close follows at once,
  // so the client end is orphaned while the daemon still reads.
  std::string text;
  while (text.size() < 4000) {
    text += std::string(79, '#') + "\n";
  }
  text += OverLimit(stranger, "peer", "touch " + Mark("pwned"));
  for (int attempt = 0; attempt < 50; ++attempt) {
    EXPECT_EQ(0, AsUser(kNobody, [&] {
                const int fd = ConnectTcp(port);
                const int on = 1;
                setsockopt(fd, IPPROTO_TCP, TCP_CORK, &on, sizeof on);
                const ssize_t sent = send(fd, text.data(), text.size(), MSG_NOSIGNAL);
                close(fd);
                return sent == static_cast<ssize_t>(text.size());
              }));
  }
  // One pass runs every registered stop command: root's proves it ran.
  EXPECT_TRUE(RootRegisters("control")) << daemon->Err();
  EXPECT_TRUE(!Exists("pwned") && !Exists("stranger") && Alive(stranger));
  EXPECT_TRUE(daemon->ErrSays("WARNING : Orders from uid 65534 (peer 127.0.0.1:") &&
              daemon->ErrSays(") refused: user not in WATCHMGR.ALLOWEDUSERS"))
      << daemon->Err();
}

// Which key is wrong and why is decided where the keys are read; here, that
// any wrong key stops the start before the port is bound. Whether a bound
// address keeps the port closed to the world is decided with the keys too.
TEST_F(AccessE2ETest, MalformedAccessKeyStopsTheStartAnOpenPortIsLoudAndALinkAtTheSocketPathStays) {
  auto bad = StartWith("GLOBAL.WATCHMGR.ALLOWEDPEERS=local,10.0.0.0/33\n");
  EXPECT_EQ(bad->WaitExit(10000), 1);
  EXPECT_PRED2(Has, bad->Err(),
               "[vigild::main] ERROR, WATCHMGR.ALLOWEDPEERS: malformed entry '10.0.0.0/33'");
  EXPECT_LT(ConnectTcp(port), 0);
  // A link where the local socket goes is neither followed nor replaced.
  home.WriteFile("elsewhere", "precious\n");
  ASSERT_EQ(0, symlink(home.Join("elsewhere").c_str(), home.Join("run/vigild.sock").c_str()));
  auto daemon = StartWith("GLOBAL.WATCHMGR.ALLOWEDPEERS=any\n");
  EXPECT_TRUE(Accepts());
  EXPECT_TRUE(daemon->ErrSays("a file that is not a socket is in the way")) << daemon->Err();
  // The console is written by its own thread: the line may follow the listener's start.
  EXPECT_TRUE(daemon->ErrSays(
      "WARNING : the order port accepts peers beyond this host (WATCHMGR.ALLOWEDPEERS=any)"))
      << daemon->Err();
  EXPECT_EQ("precious\n", ReadAll(home.Join("run/vigild.sock")));
}

// Nobody registers itself, then tries to forget and beat for root's item and
// to register root's other process, and to hold more connections than its
// cap; root then acts on nobody's item, whose commands run as nobody. TCP
// comes from 127.0.0.2: from 127.0.0.1 only the local socket carries orders.
TEST_F(AccessAsNobodyE2ETest, NobodyIsCappedKeptToItsItemsAndServedOnTheLocalSocket) {
  auto daemon = StartWith(
      "GLOBAL.WATCHMGR.ALLOWEDPEERS=127.0.0.2\nGLOBAL.WATCHMGR.ALLOWEDUSERS=root,nobody\n"
      "GLOBAL.WATCHMGR.MAXCLIENTSPERUSER=2\n",
      "2");
  ASSERT_TRUE(Accepts());
  const int root = ConnectTcp(port, "127.0.0.2");
  const pid_t registered = Process(), unregistered = Process();
  ASSERT_TRUE(root >= 0 && registered > 0 && unregistered > 0);
  const std::string r = std::to_string(registered);
  Send(root, Watch(registered, "lane", "touch " + Mark("root") + "; kill " + r, "", 100));
  // Its connection stays open, so the daemon identifies it while it reads the orders.
  const auto orders = [&](pid_t self) {
    const std::string stop = "id -u > " + Mark("nobody") + "; kill " + std::to_string(self);
    return Watch(self, "lane", stop, "id -u > " + Mark("started"), 100) + "BEGINMGMT\nstop: " + r +
           "\nEND;\n" + Beat(registered, 500) +
           OverLimit(unregistered, "lane", "touch " + Mark("stolen")) +
           Watch(registered, "lane", "touch " + Mark("x"), "", 100);
  };
  const pid_t nobody = Process(kNobody, orders, "127.0.0.2");
  ASSERT_GT(nobody, 0);
  // That a refused order leaves the item as it was is decided where orders are executed.
  for (const char* kind : {"mgmt", "msg"}) {
    const std::string refusal = std::string(kind) + " order for pid " + r +
                                " from uid 65534 refused: the item was registered by another user";
    EXPECT_TRUE(daemon->ErrSays(refusal)) << refusal << "\n" << daemon->Err();
  }
  // Nobody holds one connection: of two more, the second is closed unread.
  EXPECT_EQ(0, AsUser(kNobody, [&] {
              const int kept = ConnectTcp(port, "127.0.0.2");
              usleep(200000);
              const int over = ConnectTcp(port, "127.0.0.2");
              return EndOf(over, 2000) == "closed" && EndOf(kept, 2000) == "open";
            }));
  EXPECT_TRUE(daemon->ErrSays("Connection of uid 65534 refused: it holds 2 connections"));
  // Root, uncapped, beats for both items on its seventh connection: its own
  // is still registered, and nobody's stop and, after the pause, start run as
  // nobody. The test's own process keeps the daemon running after the restarts.
  for (int i = 0; i < 6; ++i) {
    leftOpen.push_back(ConnectTcp(port, "127.0.0.2"));
  }
  Send(leftOpen.back(), Watch(getpid(), "e2e") + Beat(nobody, 500) + Beat(registered, 500));
  // The shell makes the mark before id writes into it: wait for the line.
  EXPECT_TRUE(
      WaitUntil([&] { return Exists("root") && Has(ReadAll(Mark("started")), "\n"); }, 40000))
      << Exists("root") << Exists("started") << daemon->Err();
  for (const char* mark : {"nobody", "started"}) {
    EXPECT_EQ(ReadAll(Mark(mark)) + Owner(Mark(mark)), "65534\n65534:65534") << mark;
  }
  EXPECT_FALSE(Alive(nobody) || Exists("stolen"));
  close(root);

  const std::string socketPath = home.Join("run/vigild.sock");
  struct stat info {};
  ASSERT_EQ(0, lstat(socketPath.c_str(), &info));
  EXPECT_EQ(info.st_mode, S_IFSOCK | 0666u);
  const pid_t own = Process(kNobody);
  const auto vigilctl = [&](const std::string& mark, const std::string& extra) {
    const std::string command = "c() { TLMHOME=" + home.path() +
                                " " VIGILCTL_BINARY " \"$@\" --port " + std::to_string(port) +
                                " --pid " + std::to_string(own) + " " + extra +
                                "; }; c watch --name peer --start '' --stop 'touch " + Mark(mark) +
                                "' --maxwset 100 && c beat --wset 500";
    return AsUser(kNobody, [&] { return system(command.c_str()) == 0; });
  };
  EXPECT_EQ(0, vigilctl("local", ""));
  ASSERT_TRUE(WaitUntil([&] { return Exists("local"); }, 30000)) << daemon->Err();
  EXPECT_EQ(Owner(Mark("local")), "65534:65534");
  // Without the socket vigilctl tries TCP from 127.0.0.1, which this daemon refuses.
  EXPECT_EQ(0, vigilctl("tcp", "--socket " + home.Join("run/none.sock")));
  EXPECT_TRUE(
      daemon->ErrSays("Connection from 127.0.0.1 refused: peer not in WATCHMGR.ALLOWEDPEERS"))
      << daemon->Err();
  EXPECT_FALSE(Exists("tcp"));
  kill(daemon->pid, SIGTERM);
  EXPECT_EQ(0, daemon->WaitExit(10000));
  EXPECT_NE(0, access(socketPath.c_str(), F_OK));
}

}  // namespace
