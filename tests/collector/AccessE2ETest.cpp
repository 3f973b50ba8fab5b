// End-to-end tests of who the real vigild takes orders from: peers outside
// the list, users outside the list, commands outside the pattern, clients
// that hide their owner or reset in a loop, the local socket, the cap on
// clients per user, and each user kept to the items it registered.
#include <arpa/inet.h>
#include <glob.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "DaemonHarness.h"
#include "TestSockets.h"
#include "TestWaits.h"

namespace {

int OpenDescriptors(pid_t pid) {
  glob_t found{};
  glob(("/proc/" + std::to_string(pid) + "/fd/*").c_str(), 0, nullptr, &found);
  const int count = static_cast<int>(found.gl_pathc);
  globfree(&found);
  return count;
}

class AccessE2ETest : public DaemonHarness {
 protected:
  // A client of uid's from `from` whose own watch order is over its limit at
  // once: the next pass runs start and stop, made of its pid.
  pid_t Client(uid_t uid, const char* from, const std::function<std::string(pid_t)>& start,
               const std::function<std::string(pid_t)>& stop) {
    return Process(
        uid,
        [&](pid_t pid) { return Watch(pid, "access", stop(pid), start(pid), 100) + Beat(pid, 500); },
        from);
  }
  // A client whose stop command touches marks/<name> and kills it.
  pid_t Touching(uid_t uid, const char* from, const std::string& name) {
    return Client(
        uid, from, [&](pid_t) { return "touch " + Mark(name + ".started"); },
        [&](pid_t pid) { return "touch " + Mark(name) + " && kill " + std::to_string(pid); });
  }
  // Registers a process of root's over its limit on a fresh connection and
  // keeps the connection until its stop command has touched the mark.
  bool RootRegisters(const std::string& mark) {
    const pid_t target = Process();
    const int fd = ConnectTcp(port);
    const std::string text = Watch(target, "peer", "touch " + Mark(mark), "", 100) + Beat(target, 500);
    Send(fd, text);
    const bool done = WaitUntil([&] { return Exists(mark); }, 30000);
    close(fd);
    return done;
  }
};

// Tests whose clients run as nobody, which only root can arrange.
class AccessAsNobodyE2ETest : public AccessE2ETest {
 protected:
  void SetUp() override {
    if (geteuid() != 0) {
      GTEST_SKIP() << "needs root to run clients as nobody";
    }
  }
};

TEST_F(AccessE2ETest, PeerOutsideTheListIsClosedUnreadAndABurstLogsOnceLeavingNoDescriptor) {
  auto daemon = StartWith("GLOBAL.WATCHMGR.ALLOWEDPEERS=127.0.0.1\n");
  const int keeper = ConnectWhenUp();  // an item never found wrong keeps the daemon running
  ASSERT_GE(keeper, 0);
  Send(keeper, Watch(getpid(), "e2e"));
  const pid_t outsider = Touching(0, "127.0.0.2", "outsider");
  ASSERT_GT(outsider, 0);
  ASSERT_GT(Touching(0, "127.0.0.1", "insider"), 0);
  // Both processes are over their limit from the start: one pass stops every registered one.
  ASSERT_TRUE(WaitUntil([&] { return Exists("insider"); }, 30000)) << daemon->Err();
  EXPECT_FALSE(Exists("outsider"));
  EXPECT_TRUE(Alive(outsider));
  EXPECT_FALSE(Has(daemon->Out(), "pid=" + std::to_string(outsider)));
  const std::string refusal =
      "WARNING : Connection from 127.0.0.2 refused: peer not in WATCHMGR.ALLOWEDPEERS (127.0.0.1)";
  // The console has its own writer thread: wait for the pass's Error line too.
  EXPECT_TRUE(WaitUntil([&] { return Has(daemon->Err(), "reachs Working Set uppper limit"); },
                        10000));
  EXPECT_EQ(Count(daemon->Err(), refusal), 1u) << daemon->Err();

  const int baseline = OpenDescriptors(daemon->pid);
  const size_t linesBefore = Count(daemon->Err(), "\n");
  std::vector<int> burst;
  for (int i = 0; i < 200; ++i) {
    const int fd = ConnectTcp(port, "127.0.0.2");
    if (fd >= 0) {
      burst.push_back(fd);
    }
  }
  EXPECT_EQ(burst.size(), 200u);
  for (int fd : burst) {  // each closed by the daemon without a byte
    bool closed = false;
    EXPECT_EQ(BytesWithin(fd, 5000, &closed), 0u);
    EXPECT_TRUE(closed || errno == ECONNRESET);
    close(fd);
  }
  EXPECT_TRUE(WaitUntil([&] { return OpenDescriptors(daemon->pid) <= baseline; }, 10000))
      << OpenDescriptors(daemon->pid) << " > " << baseline;
  EXPECT_LE(Count(daemon->Err(), "\n") - linesBefore, 3u) << daemon->Err();
  EXPECT_EQ(Count(daemon->Err(), refusal), 1u);
  EXPECT_EQ(daemon->WaitExit(0), -1);
  close(keeper);
}

TEST_F(AccessAsNobodyE2ETest, OnlyAllowedUsersRegisterAndTheirCommandsRunAsThem) {
  {
    auto daemon = Start();  // the default users: root and the daemon's own
    ASSERT_TRUE(Accepts());
    const pid_t stranger = Touching(kNobody, "127.0.0.1", "stranger");
    Touching(0, "127.0.0.1", "root");
    ASSERT_TRUE(WaitUntil([&] { return Exists("root"); }, 30000)) << daemon->Err();
    EXPECT_FALSE(Exists("stranger"));
    EXPECT_TRUE(Alive(stranger));
    EXPECT_TRUE(Has(daemon->Err(), "WARNING : Orders from uid 65534 (peer 127.0.0.1:"))
        << daemon->Err();
    EXPECT_TRUE(Has(daemon->Err(), ") refused: user not in WATCHMGR.ALLOWEDUSERS"));
  }
  auto daemon = StartWith("GLOBAL.WATCHMGR.ALLOWEDUSERS=nobody\n");
  ASSERT_TRUE(Accepts());
  const pid_t allowed = Client(
      kNobody, "127.0.0.1", [&](pid_t) { return "id -u > " + Mark("started"); },
      [&](pid_t pid) { return "id -u > " + Mark("stopped") + "; kill " + std::to_string(pid); });
  ASSERT_TRUE(WaitUntil([&] { return ReadAll(Mark("started")) == "65534\n"; }, 30000))
      << daemon->Err();
  EXPECT_EQ(ReadAll(Mark("stopped")), "65534\n");
  for (const char* name : {"started", "stopped"}) {
    struct stat info {};
    ASSERT_EQ(stat(Mark(name).c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, kNobody) << name;
    EXPECT_EQ(info.st_gid, kNobody) << name;
  }
  EXPECT_FALSE(Alive(allowed));
}

TEST_F(AccessE2ETest, WatchOrderWithACommandOutsideThePatternIsRefused) {
  // With a filter, one command is one program: touching and killing takes a script.
  home.WriteFile("marks/stop.sh", "touch \"$(dirname \"$0\")/$1\"; kill \"$2\"\n");
  auto daemon = StartWith(
      "GLOBAL.WATCHMGR.ALLOWEDCOMMANDS=(touch|/bin/sh) [-/.a-zA-Z0-9]+( [0-9a-z]+)*\n");
  ASSERT_TRUE(Accepts());
  const pid_t bad = Client(
      0, "127.0.0.1", [&](pid_t) { return "touch " + Mark("bad") + " && true"; },
      [&](pid_t pid) { return "touch " + Mark("bad.stopped") + " && kill " + std::to_string(pid); });
  Client(
      0, "127.0.0.1", [&](pid_t) { return "touch " + Mark("good.started"); },
      [&](pid_t pid) { return "/bin/sh " + Mark("stop.sh") + " good " + std::to_string(pid); });
  ASSERT_TRUE(WaitUntil([&] { return Exists("good"); }, 30000)) << daemon->Err();
  EXPECT_FALSE(Exists("bad") || Exists("bad.stopped"));
  EXPECT_TRUE(Alive(bad));
  EXPECT_EQ(Count(daemon->Err(), "WARNING : Watch order for pid " + std::to_string(bad) +
                                     " refused: command 'touch " + Mark("bad") +
                                     " && true' holds shell syntax, which "
                                     "WATCHMGR.ALLOWEDCOMMANDS does not admit\n"),
            1u)
      << daemon->Err();
}

TEST_F(AccessE2ETest, MalformedAccessKeysStopTheStartAndAnOpenPortIsLoud) {
  const std::pair<const char*, const char*> kBad[] = {
      {"WATCHMGR.ALLOWEDPEERS=local,10.0.0.0/33",
       "WATCHMGR.ALLOWEDPEERS: malformed entry '10.0.0.0/33'"},
      {"WATCHMGR.ALLOWEDUSERS=root,no-such-user-here",
       "WATCHMGR.ALLOWEDUSERS: unknown user 'no-such-user-here'"},
      {"WATCHMGR.ALLOWEDCOMMANDS=(", "WATCHMGR.ALLOWEDCOMMANDS: pattern '(' does not compile"},
      {"WATCHMGR.BINDADDRESS=127.1", "WATCHMGR.BINDADDRESS: malformed address '127.1'"},
  };
  for (const auto& bad : kBad) {
    auto daemon = StartWith(std::string("GLOBAL.") + bad.first + "\n");
    EXPECT_EQ(daemon->WaitExit(10000), 1) << bad.first;
    EXPECT_TRUE(Has(daemon->Err(), std::string("[vigild::main] ERROR, ") + bad.second))
        << daemon->Err();
    EXPECT_LT(ConnectTcp(port), 0);
  }
  const char kLoud[] = "WARNING : the order port accepts peers beyond this host";
  auto open = StartWith("GLOBAL.WATCHMGR.ALLOWEDPEERS=any\n");
  EXPECT_TRUE(Accepts());
  // The console is written by its own thread: the line may follow the listener's start.
  EXPECT_TRUE(WaitUntil(
      [&] { return Has(open->Err(), std::string(kLoud) + " (WATCHMGR.ALLOWEDPEERS=any)"); }, 10000))
      << open->Err();
  open.reset();
  // Bound to loopback, nobody beyond the host can reach it, whatever the list says.
  auto bound =
      StartWith("GLOBAL.WATCHMGR.ALLOWEDPEERS=any\nGLOBAL.WATCHMGR.BINDADDRESS=127.0.0.1\n");
  EXPECT_TRUE(Accepts());
  EXPECT_FALSE(Has(bound->Err(), kLoud)) << bound->Err();
  bound.reset();
  auto local = StartWith("");
  EXPECT_TRUE(Accepts());
  EXPECT_FALSE(Has(local->Err(), kLoud));
}

TEST_F(AccessAsNobodyE2ETest, CorkedOrderClosedAtOnceByNobodyNeverRunsAsRoot) {
  auto daemon = Start();  // the default access: root and the daemon's own user
  ASSERT_TRUE(Accepts()) << daemon->Err();
  const pid_t target = Process(kNobody);
  // Filler lines, then the order, in one segment; the close follows at once,
  // so the client end is orphaned while the daemon still reads.
  std::string text;
  while (text.size() < 4000) {
    text += std::string(79, '#') + "\n";
  }
  text += Watch(target, "peer", "touch " + Mark("pwned"), "", 100) + Beat(target, 500);
  for (int attempt = 0; attempt < 50; ++attempt) {
    EXPECT_EQ(0, AsUser(kNobody, [&] {
                const int fd = ConnectTcp(port);
                const int on = 1;
                setsockopt(fd, IPPROTO_TCP, TCP_CORK, &on, sizeof on);
                const bool sent = send(fd, text.data(), text.size(), MSG_NOSIGNAL) ==
                                  static_cast<ssize_t>(text.size());
                close(fd);
                return fd >= 0 && sent;
              }));
  }
  // One pass runs every registered stop command: the root control proves it ran.
  EXPECT_TRUE(RootRegisters("control")) << daemon->Err();
  EXPECT_FALSE(Exists("pwned"));
  EXPECT_FALSE(Has(daemon->Out(), "pid=" + std::to_string(target)));
}

TEST_F(AccessAsNobodyE2ETest, VigilctlUsesTheLocalSocketAndFallsBackToTcp) {
  // TCP from 127.0.0.1 is refused: only the local socket can carry an order.
  auto daemon =
      StartWith("GLOBAL.WATCHMGR.ALLOWEDPEERS=127.0.0.2\nGLOBAL.WATCHMGR.ALLOWEDUSERS=nobody\n");
  const std::string socketPath = home.Join("run/vigild.sock");
  ASSERT_TRUE(WaitUntil([&] { return access(socketPath.c_str(), F_OK) == 0; }, 10000))
      << daemon->Err();
  struct stat info {};
  ASSERT_EQ(0, lstat(socketPath.c_str(), &info));
  EXPECT_TRUE(S_ISSOCK(info.st_mode));
  EXPECT_EQ(0666u, info.st_mode & 0777);
  const auto vigilctl = [&](pid_t target, const std::string& mark, const std::string& extra) {
    const std::string ctl = "TLMHOME=" + home.path() + " " VIGILCTL_BINARY,
                      common = " --port " + std::to_string(port) + " --pid " +
                               std::to_string(target) + " " + extra;
    const std::string command = ctl + " watch" + common + " --name peer --start '' --stop 'touch " +
                                Mark(mark) + "' --maxwset 100 && " + ctl + " beat" + common +
                                " --wset 500";
    return AsUser(kNobody, [&] { return system(command.c_str()) == 0; });
  };
  const pid_t own = Process(kNobody);
  EXPECT_EQ(0, vigilctl(own, "local", ""));
  ASSERT_TRUE(WaitUntil([&] { return Exists("local"); }, 30000)) << daemon->Err();
  struct stat mark {};
  ASSERT_EQ(0, stat(Mark("local").c_str(), &mark));
  EXPECT_EQ(kNobody, mark.st_uid);
  // Without the socket vigilctl tries TCP, which this daemon refuses.
  EXPECT_EQ(0, vigilctl(own, "tcp", "--socket " + home.Join("run/none.sock")));
  EXPECT_TRUE(WaitUntil(
      [&] {
        return Has(daemon->Err(),
                   "Connection from 127.0.0.1 refused: peer not in WATCHMGR.ALLOWEDPEERS");
      },
      10000))
      << daemon->Err();
  EXPECT_FALSE(Exists("tcp"));
  // The socket file goes with the daemon.
  kill(daemon->pid, SIGTERM);
  EXPECT_EQ(0, daemon->WaitExit(10000));
  EXPECT_NE(0, access(socketPath.c_str(), F_OK));
}

TEST_F(AccessE2ETest, LocalSocketPathHeldByAFileOrALinkIsLeftAlone) {
  const std::string planted = home.Join("run/vigild.sock");
  home.WriteFile("run/vigild.sock", "precious\n");
  for (int round = 0; round < 2; ++round) {
    auto daemon = Start();
    ASSERT_TRUE(Accepts()) << daemon->Err();
    EXPECT_TRUE(WaitUntil(
        [&] { return Has(daemon->Err(), "a file that is not a socket is in the way"); }, 10000))
        << daemon->Err();
    if (round == 0) {
      EXPECT_EQ("precious\n", ReadAll(planted));
      unlink(planted.c_str());
      ASSERT_EQ(0, symlink(home.Join("elsewhere").c_str(), planted.c_str()));
    } else {  // TCP still serves
      EXPECT_NE(0, access(home.Join("elsewhere").c_str(), F_OK));
      ASSERT_TRUE(RootRegisters("tcp")) << daemon->Err();
    }
  }
}

TEST_F(AccessAsNobodyE2ETest, RefusedUserResettingInALoopLeavesTheLogSmallAndRootServed) {
  auto daemon = Start();  // nobody is refused
  ASSERT_TRUE(Accepts()) << daemon->Err();
  const size_t before = Count(daemon->Err(), "\n");
  std::vector<std::thread> loops;
  for (int i = 0; i < 4; ++i) {
    loops.emplace_back([&] {
      AsUser(kNobody, [&] {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(4);
        while (std::chrono::steady_clock::now() < end) {
          const int fd = ConnectTcp(port);
          struct linger reset {1, 0};
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
}

TEST_F(AccessAsNobodyE2ETest, ClientsPerUserAreCappedButRootIsNot) {
  auto daemon =
      StartWith("GLOBAL.WATCHMGR.ALLOWEDUSERS=nobody,root\nGLOBAL.WATCHMGR.MAXCLIENTSPERUSER=2\n");
  ASSERT_TRUE(Accepts()) << daemon->Err();
  // Three connections of nobody: the third is closed unread.
  EXPECT_EQ(0, AsUser(kNobody, [&] {
              int fds[3];
              for (int& fd : fds) {
                fd = ConnectTcp(port);
                usleep(200000);
              }
              char byte;
              const timeval wait{2, 0};
              setsockopt(fds[2], SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
              setsockopt(fds[0], SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
              return recv(fds[2], &byte, 1, 0) == 0 && recv(fds[0], &byte, 1, 0) < 0;
            }));
  EXPECT_TRUE(Has(daemon->Err(), "Connection of uid 65534 refused: it holds 2 connections"));
  std::vector<int> roots;
  for (int i = 0; i < 5; ++i) {
    roots.push_back(ConnectTcp(port));
  }
  ASSERT_TRUE(RootRegisters("root")) << daemon->Err();
  for (int fd : roots) {
    close(fd);
  }
}

TEST_F(AccessE2ETest, MappedClientOnAHandedOverIpv6SocketIsItsIpv4Self) {
  const int handed = socket(AF_INET6, SOCK_STREAM, 0);
  const int off = 0;
  setsockopt(handed, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_addr = in6addr_any;
  address.sin6_port = htons(static_cast<uint16_t>(port));
  ASSERT_EQ(0, bind(handed, reinterpret_cast<sockaddr*>(&address), sizeof address));
  ASSERT_EQ(0, listen(handed, 16));
  home.WriteFile("conf/vigild.conf", "GLOBAL.WATCHMGR.ALLOWEDPEERS=127.0.0.1\n");
  Daemon daemon(home, {"-P", std::to_string(port), "-D", "5", "-f", home.Join("conf/vigild.conf")},
                Env(), -1, handed);
  ASSERT_TRUE(WaitUntil([&] { return Has(daemon.Out(), "Listenner started on TCP port"); }, 10000))
      << daemon.Out() << daemon.Err();
  ASSERT_TRUE(RootRegisters("mapped")) << daemon.Err();
  EXPECT_FALSE(Has(daemon.Err(), "refused")) << daemon.Err();
  close(handed);
}

// Nobody registers itself, then tries to forget and beat for root's item and
// to register root's other process; root then acts on nobody's item.
TEST_F(AccessAsNobodyE2ETest, NobodyCannotTouchRootsItemsWhileRootActsOnNobodys) {
  auto daemon = StartWith("GLOBAL.WATCHMGR.ALLOWEDUSERS=root,nobody\n", {}, "2");
  const int root = ConnectWhenUp();
  ASSERT_GE(root, 0);
  const pid_t registered = Process(), unregistered = Process();
  ASSERT_GT(registered, 0);
  ASSERT_GT(unregistered, 0);
  const std::string r = std::to_string(registered), u = std::to_string(unregistered);
  Send(root, Watch(registered, "lane", "touch " + Mark("root") + "; kill " + r, "", 100));
  // Its connection stays open, so the daemon identifies it while it reads the orders.
  const pid_t nobody = Process(kNobody, [&](pid_t self) {
    return Watch(self, "lane", "touch " + Mark("nobody") + "; kill " + std::to_string(self), "",
                 100) +
           "BEGINMGMT\nstop: " + r + "\nEND;\n" + Beat(registered, 500) +
           Watch(unregistered, "lane", "touch " + Mark("stolen"), "", 100) +
           Beat(unregistered, 500) + Watch(registered, "lane", "touch " + Mark("x"), "", 100);
  });
  ASSERT_GT(nobody, 0);
  const std::string from = " from uid 65534 refused: ";
  for (const std::string& refusal : {
           "mgmt order for pid " + r + from + "the item was registered by another user",
           "msg order for pid " + r + from + "the item was registered by another user",
           "watch order for pid " + u + from + "the process belongs to another user"}) {
    EXPECT_TRUE(WaitUntil([&] { return Has(daemon->Err(), refusal); }, 10000))
        << refusal << "\n" << daemon->Err();
  }
  // Passes run every second: an accepted beat of 500 would have stopped root's process by now.
  sleep(3);
  EXPECT_FALSE(Exists("root") || Exists("stolen") || Exists("x"));
  // Root beats for both items: its own is still registered, and nobody's stop runs as nobody.
  Send(root, Beat(nobody, 500) + Beat(registered, 500));
  EXPECT_TRUE(WaitUntil([&] { return Exists("root") && Exists("nobody"); }, 40000))
      << Exists("root") << Exists("nobody") << daemon->Err();
  struct stat info {};
  ASSERT_EQ(stat(Mark("nobody").c_str(), &info), 0);
  EXPECT_EQ(info.st_uid, kNobody);
  EXPECT_FALSE(Exists("stolen"));
  close(root);
}

}  // namespace
