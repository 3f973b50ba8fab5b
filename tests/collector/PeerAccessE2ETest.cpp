// End-to-end tests of who the daemon takes an order from: clients that hide
// their owner, the local socket and vigilctl's use of it, refused clients in
// a loop, and a handed-over IPv6 socket. The real vigild runs as root on a
// free loopback port with a temporary TLMHOME; clients run as nobody.
#include <arpa/inet.h>
#include <grp.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "TempDir.h"
#include "TestSockets.h"
#include "TestWaits.h"
#include "gtest/gtest.h"

namespace {

constexpr uid_t kNobody = 65534;

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

size_t Lines(const std::string& text) {
  size_t count = 0;
  for (char c : text) {
    count += c == '\n';
  }
  return count;
}

// Runs body in a child as uid (root stays root); its exit status, 0 when body returns true.
int AsUser(uid_t uid, const std::function<bool()>& body) {
  const pid_t child = fork();
  if (child == 0) {
    if (uid != 0 && (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0)) {
      _exit(2);
    }
    _exit(body() ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class PeerAccessE2ETest : public ::testing::Test {
 protected:
  PeerAccessE2ETest() : port(FreePort()), marks(home.Join("marks")) {
    chmod(home.path().c_str(), 0755);
    for (const char* dir : {"log", "conf", "run"}) {
      mkdir(home.Join(dir).c_str(), 0755);
    }
    mkdir(marks.c_str(), 0777);
    chmod(marks.c_str(), 0777);
  }
  void SetUp() override {
    if (geteuid() != 0) {
      GTEST_SKIP() << "needs root to run clients as nobody";
    }
  }
  ~PeerAccessE2ETest() override {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    for (pid_t sleeper : sleepers) {
      kill(sleeper, SIGKILL);
      waitpid(sleeper, nullptr, 0);
    }
  }
  // The daemon with these configuration lines; handed, when not -1, is
  // passed over as a service manager does.
  void Start(const std::string& lines, int handed = -1) {
    home.WriteFile("peer.conf", lines);
    pid = SpawnClean({VIGILD_BINARY, "-P", std::to_string(port), "-D", "5", "-f",
                      home.Join("peer.conf")},
                     {"TLMHOME=" + home.path()}, home.Join("stdout"), home.Join("stderr"), -1,
                     handed);
  }
  std::string Err() const { return ReadAll(home.Join("stderr")); }
  std::string Out() const { return ReadAll(home.Join("stdout")); }
  bool Accepts() {
    int fd = -1;
    WaitUntil([&] { return (fd = ConnectTcp(port)) >= 0; }, 10000);
    close(fd);
    return fd >= 0;
  }
  // A process of uid's to register; killed at the end.
  pid_t Sleeper(uid_t uid = 0) {
    const pid_t child = fork();
    if (child == 0) {
      if (uid != 0 && (setgid(uid) != 0 || setuid(uid) != 0)) {
        _exit(2);
      }
      for (;;) {
        pause();
      }
    }
    sleepers.push_back(child);
    return child;
  }
  // A watch order for pid over its memory limit: the next pass runs its
  // stop command, which touches marks/<mark>.
  std::string OverLimit(pid_t target, const std::string& mark) const {
    return "BEGINWATCH\npid: " + std::to_string(target) + "\npsname: peer\npsstart: \npsstop: touch " +
           Mark(mark) + "\nmaxwset: 100\nEND;\nBEGINMSG\npid: " + std::to_string(target) +
           "\npswset: 500\nEND;\n";
  }
  std::string Mark(const std::string& name) const { return marks + "/" + name; }
  bool Exists(const std::string& name) const { return access(Mark(name).c_str(), F_OK) == 0; }
  // Sends text on a fresh connection as root and keeps the connection
  // until the mark shows up.
  bool RootRegisters(pid_t target, const std::string& mark) {
    const int fd = ConnectTcp(port);
    const std::string text = OverLimit(target, mark);
    const bool sent = fd >= 0 && send(fd, text.data(), text.size(), MSG_NOSIGNAL) ==
                                     static_cast<ssize_t>(text.size());
    const bool done = sent && WaitUntil([&] { return Exists(mark); }, 30000);
    close(fd);
    return done;
  }

  TempDir home;
  const int port;
  const std::string marks;
  pid_t pid = -1;
  std::vector<pid_t> sleepers;
};

TEST_F(PeerAccessE2ETest, CorkedOrderClosedAtOnceByNobodyNeverRunsAsRoot) {
  Start("");  // the default access: root and the daemon's own user
  ASSERT_TRUE(Accepts()) << Err();
  const pid_t target = Sleeper(kNobody);
  // Filler lines, then the order, in one segment; the close follows at once,
  // so the client end is orphaned while the daemon still reads.
  std::string text;
  while (text.size() < 4000) {
    text += std::string(79, '#') + "\n";
  }
  text += OverLimit(target, "pwned");
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
  EXPECT_TRUE(RootRegisters(Sleeper(), "control")) << Err();
  EXPECT_FALSE(Exists("pwned"));
  EXPECT_FALSE(Has(Out(), "pid=" + std::to_string(target))) << Out();
}

TEST_F(PeerAccessE2ETest, VigilctlUsesTheLocalSocketAndFallsBackToTcp) {
  // TCP from 127.0.0.1 is refused: only the local socket can carry an order.
  Start("GLOBAL.WATCHMGR.ALLOWEDPEERS=127.0.0.2\nGLOBAL.WATCHMGR.ALLOWEDUSERS=nobody\n");
  const std::string socketPath = home.Join("run/vigild.sock");
  ASSERT_TRUE(WaitUntil([&] { return access(socketPath.c_str(), F_OK) == 0; }, 10000)) << Err();
  struct stat info {};
  ASSERT_EQ(0, lstat(socketPath.c_str(), &info));
  EXPECT_TRUE(S_ISSOCK(info.st_mode));
  EXPECT_EQ(0666u, info.st_mode & 0777);
  const auto vigilctl = [&](pid_t target, const std::string& mark, const std::string& extra) {
    const std::string command = "TLMHOME=" + home.path() + " " VIGILCTL_BINARY " watch --port " +
                                std::to_string(port) + " --pid " + std::to_string(target) +
                                " --name peer --start '' --stop 'touch " + Mark(mark) +
                                "' --maxwset 100 " + extra + " && TLMHOME=" + home.path() +
                                " " VIGILCTL_BINARY " beat --port " + std::to_string(port) +
                                " --pid " + std::to_string(target) + " --wset 500 " + extra;
    return AsUser(kNobody, [&] { return system(command.c_str()) == 0; });
  };
  const pid_t own = Sleeper(kNobody);
  EXPECT_EQ(0, vigilctl(own, "local", ""));
  ASSERT_TRUE(WaitUntil([&] { return Exists("local"); }, 30000)) << Err();
  struct stat mark {};
  ASSERT_EQ(0, stat(Mark("local").c_str(), &mark));
  EXPECT_EQ(kNobody, mark.st_uid);
  // Without the socket vigilctl tries TCP, which this daemon refuses.
  EXPECT_EQ(0, vigilctl(own, "tcp", "--socket " + home.Join("run/none.sock")));
  EXPECT_TRUE(WaitUntil(
      [&] { return Has(Err(), "Connection from 127.0.0.1 refused: peer not in WATCHMGR.ALLOWEDPEERS"); },
      10000))
      << Err();
  EXPECT_FALSE(Exists("tcp"));
  // The socket file goes with the daemon.
  kill(pid, SIGTERM);
  EXPECT_EQ(0, WaitExit(pid, 10000));
  pid = -1;
  EXPECT_NE(0, access(socketPath.c_str(), F_OK));
}

TEST_F(PeerAccessE2ETest, LocalSocketPathHeldByAnotherFileIsLeftAlone) {
  const std::string planted = home.Join("run/vigild.sock");
  home.WriteFile("run/vigild.sock", "precious\n");
  Start("");
  ASSERT_TRUE(Accepts()) << Err();
  EXPECT_TRUE(WaitUntil([&] { return Has(Err(), "a file that is not a socket is in the way"); },
                        10000))
      << Err();
  EXPECT_EQ("precious\n", ReadAll(planted));
  // A symbolic link there is left alone too; TCP still serves.
  unlink(planted.c_str());
  ASSERT_EQ(0, symlink(home.Join("elsewhere").c_str(), planted.c_str()));
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  Start("");
  ASSERT_TRUE(Accepts()) << Err();
  EXPECT_TRUE(WaitUntil([&] { return Has(Err(), "a file that is not a socket is in the way"); },
                        10000))
      << Err();
  EXPECT_NE(0, access(home.Join("elsewhere").c_str(), F_OK));
  ASSERT_TRUE(RootRegisters(Sleeper(), "tcp")) << Err();
}

TEST_F(PeerAccessE2ETest, RefusedUserResettingInALoopLeavesTheLogSmallAndRootServed) {
  Start("");  // nobody is refused
  ASSERT_TRUE(Accepts()) << Err();
  const size_t before = Lines(Err());
  std::vector<pid_t> loops;
  for (int i = 0; i < 4; ++i) {
    const pid_t loop = fork();
    if (loop == 0) {
      if (setgid(kNobody) != 0 || setuid(kNobody) != 0) {
        _exit(2);
      }
      const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(4);
      while (std::chrono::steady_clock::now() < end) {
        const int fd = ConnectTcp(port);
        struct linger reset {1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        close(fd);
      }
      _exit(0);
    }
    loops.push_back(loop);
  }
  const bool served = RootRegisters(Sleeper(), "root");
  for (pid_t loop : loops) {
    waitpid(loop, nullptr, 0);
  }
  EXPECT_TRUE(served) << Err();
  EXPECT_LE(Lines(Err()) - before, 20u) << Err().substr(0, 4000);
  EXPECT_FALSE(Has(Err(), "Too many clients"));
}

TEST_F(PeerAccessE2ETest, ClientsPerUserAreCappedButRootIsNot) {
  Start("GLOBAL.WATCHMGR.ALLOWEDUSERS=nobody,root\nGLOBAL.WATCHMGR.MAXCLIENTSPERUSER=2\n");
  ASSERT_TRUE(Accepts()) << Err();
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
  EXPECT_TRUE(Has(Err(), "Connection of uid 65534 refused: it holds 2 connections"));
  std::vector<int> roots;
  for (int i = 0; i < 5; ++i) {
    roots.push_back(ConnectTcp(port));
  }
  ASSERT_TRUE(RootRegisters(Sleeper(), "root")) << Err();
  for (int fd : roots) {
    close(fd);
  }
}

TEST_F(PeerAccessE2ETest, MappedClientOnAHandedOverIpv6SocketIsItsIpv4Self) {
  const int handed = socket(AF_INET6, SOCK_STREAM, 0);
  const int off = 0;
  setsockopt(handed, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_addr = in6addr_any;
  address.sin6_port = htons(static_cast<uint16_t>(port));
  ASSERT_EQ(0, bind(handed, reinterpret_cast<sockaddr*>(&address), sizeof address));
  ASSERT_EQ(0, listen(handed, 16));
  Start("GLOBAL.WATCHMGR.ALLOWEDPEERS=127.0.0.1\n", handed);
  ASSERT_TRUE(WaitUntil([&] { return Has(Out(), "Listenner started on TCP port"); }, 10000))
      << Out() << Err();
  ASSERT_TRUE(RootRegisters(Sleeper(), "mapped")) << Err();
  EXPECT_FALSE(Has(Err(), "refused")) << Err();
  close(handed);
}

}  // namespace
