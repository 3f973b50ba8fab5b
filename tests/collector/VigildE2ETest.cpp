// End-to-end tests of the real vigild binary on a free loopback port with a
// temporary TLMHOME. Compiled twice: the quick cases, and (with
// VIGILD_E2E_SLOW) the ones that must sit through the daemon's real
// one-minute time-outs.
#include <arpa/inet.h>
#include <fcntl.h>
#include <glob.h>
#include <grp.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "TempDir.h"
#include "TestSockets.h"
#include "TestWaits.h"
#include "UsageText.h"
#include "gtest/gtest.h"

namespace {

using Clock = std::chrono::steady_clock;

void Send(int fd, const std::string& text) {
  ASSERT_EQ(send(fd, text.data(), text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(text.size()));
}

// Bytes received on fd until the peer closes (*closed) or nothing comes for timeoutMs.
size_t BytesWithin(int fd, int timeoutMs, bool* closed) {
  const timeval wait{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  char buffer[256];
  size_t total = 0;
  ssize_t n;
  while ((n = recv(fd, buffer, sizeof buffer, 0)) > 0) {
    total += static_cast<size_t>(n);
  }
  *closed = n == 0;
  return total;
}

[[maybe_unused]] size_t Count(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

std::string WatchOrder(int pid) {
  return "BEGINWATCH\npid: " + std::to_string(pid) + "\npsname: e2e\npsstart: \npsstop: \nEND;\n";
}

// Registers pid with a working-set limit of 100 and reports 500: the next
// pass finds it wrong and runs stop, then (after the pause) start.
void SendOverLimit(int fd, const std::string& pid, const std::string& name,
                   const std::string& stop, const std::string& start) {
  Send(fd, "BEGINWATCH\npid: " + pid + "\npsname: " + name + "\npsstop: " + stop +
               "\npsstart: " + start + "\nmaxwset: 100\nEND;\n");
  Send(fd, "BEGINMSG\npid: " + pid + "\npswset: 500\nEND;\n");
}

// One vigild process with its output in files, started by SpawnClean (so
// that a sanitizer report in the daemon fails the test), and killed with
// every demo collector it restarted if still running when the object goes.
class Daemon {
 public:
  // stdoutFd, when not -1, is the daemon's standard output instead of a file;
  // a handedSocket is passed over as a service manager does.
  Daemon(const TempDir& home, std::vector<std::string> args, std::vector<std::string> env,
         int stdoutFd = -1, int handedSocket = -1)
      : out(home.Join("stdout")), err(home.Join("stderr")), pidsFile(home.Join("state/started")) {
    args.insert(args.begin(), VIGILD_BINARY);
    pid = SpawnClean(args, env, out, err, stdoutFd, handedSocket);
  }
  ~Daemon() {
    EXPECT_FALSE(Has(Err(), "Sanitizer")) << Err();
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    std::istringstream pids(ReadAll(pidsFile));
    for (int child; pids >> child;) {
      kill(child, SIGKILL);
    }
  }
  // The exit status, or -1 when it has not ended within timeoutMs.
  int WaitExit(int timeoutMs) {
    const int status = ::WaitExit(pid, timeoutMs);
    pid = status == -1 ? pid : -1;
    return status;
  }
  std::string Out() const { return ReadAll(out); }
  std::string Err() const { return ReadAll(err); }

  pid_t pid;
  const std::string out, err, pidsFile;
};

class VigildE2ETest : public ::testing::Test {
 protected:
  VigildE2ETest() : port(FreePort()) {
    mkdir(home.Join("log").c_str(), 0755);
    mkdir(home.Join("conf").c_str(), 0755);
  }

  std::vector<std::string> Env(const std::string& extra = "") const {
    std::vector<std::string> env{"TLMHOME=" + home.path()};
    if (!extra.empty()) {
      env.push_back(extra);
    }
    return env;
  }
  // A daemon on `port` that logs every debug record up to Debug3.
  std::unique_ptr<Daemon> Start(std::vector<std::string> args = {}) {
    args.insert(args.end(), {"-P", std::to_string(port), "-D", "5"});
    return std::make_unique<Daemon>(home, args, Env());
  }
  // Whether a client can connect (the listener is up within about a second).
  bool Accepts(int toPort, int timeoutMs = 10000) {
    int fd = -1;
    WaitUntil([&] { return (fd = ConnectTcp(toPort)) >= 0; }, timeoutMs);
    close(fd);
    return fd >= 0;
  }
  int ConnectWhenUp() {
    int fd = -1;
    WaitUntil([&] { return (fd = ConnectTcp(port)) >= 0; }, 10000);
    return fd;
  }

  // The pid of a detached command (reaped by init once killed, so it never
  // lingers as a zombie that looks alive); "" when it did not start.
  std::string DetachedSleep(const std::string& command = "sleep 300") {
    const std::string pidFile = home.Join("sleep.pid");
    unlink(pidFile.c_str());
    if (system(("(" + command + " & echo $! > " + pidFile + ")").c_str()) != 0) {
      return "";
    }
    std::string pid;
    WaitUntil([&] { return (pid = ReadAll(pidFile)).size() > 1; }, 5000);
    if (!pid.empty()) {
      pid.pop_back();
    }
    return pid;
  }

  // Everything the daemon wrote into its dated log files so far.
  std::string LogFilesText() const {
    glob_t found{};
    glob(home.Join("log/*").c_str(), 0, nullptr, &found);
    std::string text;
    for (size_t i = 0; i < found.gl_pathc; ++i) {
      text += ReadAll(found.gl_pathv[i]);
    }
    globfree(&found);
    return text;
  }

  TempDir home;
  const int port;
};

#if !VIGILD_E2E_SLOW

TEST_F(VigildE2ETest, SwitchesAnswerWithoutStarting) {
  for (const char* sw : {"-?", "-help", "-usage"}) {
    Daemon d(home, {sw, "-P", "1"}, Env());
    EXPECT_EQ(d.WaitExit(10000), 1) << sw;
    EXPECT_EQ(d.Out(), kUsageText) << sw;
  }
  Daemon version(home, {"-help", "-v", "-P", "1"}, {});
  EXPECT_EQ(version.WaitExit(10000), 0);
  const std::string out = version.Out();
  EXPECT_EQ(out.rfind("Version:  ", 0), 0u) << out;
  EXPECT_TRUE(Has(out, "\nComment:  ") && Has(out, "\nCompiled: ")) << out;
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 3);
  EXPECT_EQ(version.Err(), "");

  Daemon noHome(home, {}, {});
  EXPECT_EQ(noHome.WaitExit(10000), 1);
  EXPECT_EQ(noHome.Err(),
            "[TlVigildConfiguration::ValidateConfiguration] ERROR, missing required "
            "configuration: ROOT_DIRECTORY\n"
            "[vigild::main] ERROR, incorrect, or incomplete configuration.\n");
}

TEST_F(VigildE2ETest, MissingFileIsReportedAndTheDaemonStartsWithFileLogging) {
  home.WriteFile("vigild.conf", "GLOBAL.LOGMANAGER.CREATEFILES=1\n");
  auto missing = Start({"-f", home.Join("nope.conf")});
  EXPECT_TRUE(Accepts(port));
  EXPECT_TRUE(Has(missing->Err(), "[vigild::main] ERROR, missing or invalid configuration file '" +
                                      home.Join("nope.conf") + "'\n"));
  missing.reset();

  // -c and -l name the daemon, and so the facility of every record.
  auto fromFile = Start({"-f", home.Join("vigild.conf"), "-c", "3", "-l", "7"});
  EXPECT_TRUE(Accepts(port));
  EXPECT_TRUE(WaitUntil(
      [&] {
        const std::string text = LogFilesText();
        return Has(text, "\tVIGILD.3.7-") &&
               Has(text, "\tLISTENNER_OK\tListenner started on TCP port " + std::to_string(port));
      },
      5000))
      << LogFilesText();
}

// The real binary reads its environment (here: the port) and the registry
// under TLMHOME (here: file logging on). Which layer wins is a unit test's.
TEST_F(VigildE2ETest, EnvironmentAndRegistryConfigureTheDaemon) {
  home.WriteFile("conf/registry.conf",
                 "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenmoor\\TALVERA-WatchMgr\\LogManager]\n"
                 "\"CreateFiles\"=\"1\"\n");
  Daemon daemon(home, {"-D", "5"}, Env("TLM_SNMP_COLL_VIGILDPORT=" + std::to_string(port)));
  EXPECT_TRUE(Accepts(port));
  EXPECT_TRUE(WaitUntil([&] { return Has(LogFilesText(), "LISTENNER_OK"); }, 5000));
}

TEST_F(VigildE2ETest, ForgottenProcessLetsTheDaemonEndAndNothingIsSentBack) {
  auto daemon = Start();
  const int fd = ConnectWhenUp();
  ASSERT_GE(fd, 0);
  const std::string pid = std::to_string(getpid());  // never found wrong: no test is switched on
  Send(fd, WatchOrder(getpid()) + "BEGINMSG\npid: " + pid + "\npswset: 5\nEND;\n");
  // With -D 5 the pass reports each item it checks.
  ASSERT_TRUE(
      WaitUntil([&] { return Has(daemon->Out(), "Checking item : e2e, pid=" + pid); }, 5000));
  kill(daemon->pid, SIGPIPE);
  EXPECT_EQ(daemon->WaitExit(1000), -1);  // an item keeps it running, SIGPIPE does not end it
  Send(fd, "BEGINMGMT\nstop: " + pid + "\nEND;\n");
  EXPECT_EQ(daemon->WaitExit(5000), 0);
  bool closed = false;
  EXPECT_EQ(BytesWithin(fd, 2000, &closed), 0u);
  EXPECT_TRUE(closed);
  close(fd);
}

TEST_F(VigildE2ETest, SilentCollectorIsStoppedRestartedAndRegistersAgain) {
  home.WriteFile("vigild.conf", "GLOBAL.LOGMANAGER.CREATEFILES=1\n");
  auto daemon = Start({"-f", home.Join("vigild.conf")});
  // A process that is never judged keeps the table from emptying between
  // the restart and the new collector's registration, which on a loaded
  // machine can take longer than the pass that would otherwise end the daemon.
  const int anchor = ConnectWhenUp();
  ASSERT_GE(anchor, 0);
  Send(anchor, WatchOrder(getpid()));
  const std::string state = home.Join("state");
  const std::string first =
      std::string("(") + DEMO_COLLECTOR + " " + std::to_string(port) + " " + state + " 2)&";
  ASSERT_EQ(system(first.c_str()), 0);
  std::string firstPid;
  ASSERT_TRUE(WaitUntil([&] { return (firstPid = ReadAll(state + "/started")) != ""; }, 5000));
  firstPid.pop_back();
  const auto seen = [&](const std::string& pid) {
    return Has(LogFilesText(), "pid=" + pid + ", last seen=");
  };
  ASSERT_TRUE(WaitUntil([&] { return seen(firstPid); }, 5000));
  home.WriteFile("state/mute", "");
  // Silence of more than 2 s, the stop, the 10 s pause, then the start command.
  ASSERT_TRUE(WaitUntil(
      [&] {
        const std::string pids = ReadAll(state + "/started");
        return std::count(pids.begin(), pids.end(), '\n') == 2;
      },
      25000));
  EXPECT_NE(kill(std::stoi(firstPid), 0), 0);
  std::istringstream started(ReadAll(state + "/started"));
  std::string secondPid;
  started >> secondPid >> secondPid;
  EXPECT_TRUE(WaitUntil([&] { return seen(secondPid); }, 5000));
  EXPECT_EQ(daemon->WaitExit(0), -1);
  // The day's file holds the failure and the restart steps in its own format.
  const std::string logged = LogFilesText();
  EXPECT_TRUE(
      Has(logged, "\t[DL30000]\tGENERIC\t[WatchedItem::IsSomethingWrong] : ERROR : process #" +
                      firstPid + " demo-collector, failed to reset watchdog. No signal since "))
      << logged;
  EXPECT_TRUE(Has(logged, "\tINFO : STOPPING process with kill " + firstPid + "\n"));
  EXPECT_TRUE(Has(logged, "\tINFO , Starting new Process : " + std::string(DEMO_COLLECTOR)));
}

TEST_F(VigildE2ETest, HandedOverSocketIsServedAndStillListensAfterTheDaemonEnds) {
  int handedPort = 0;
  const int managers = ListenOnLoopback(&handedPort);
  ASSERT_GE(managers, 0);
  Daemon daemon(home, {"-P", std::to_string(port), "-D", "5"}, Env(), -1, managers);
  ASSERT_TRUE(WaitUntil(
      [&] {
        return Has(daemon.Out(), "Listenner started on TCP port " + std::to_string(handedPort));
      },
      10000))
      << daemon.Out();
  const int fd = ConnectTcp(handedPort);
  ASSERT_GE(fd, 0);
  EXPECT_LT(ConnectTcp(port), 0) << "the configured port was bound too";
  // A process over its limit: its stop command shows what a started command inherits.
  const std::string pid = DetachedSleep();
  ASSERT_FALSE(pid.empty());
  const std::string seen = home.Join("seen");
  SendOverLimit(fd, pid, "big", "(env; ls -l /proc/$$/fd) > " + seen + "; kill " + pid, "");
  close(fd);
  ASSERT_TRUE(WaitUntil([&] { return Has(ReadAll(seen), "PATH="); }, 10000));
  EXPECT_FALSE(Has(ReadAll(seen), "LISTEN_")) << ReadAll(seen);
  EXPECT_FALSE(Has(ReadAll(seen), "socket:")) << ReadAll(seen);
  // Restarted and forgotten, the process leaves the table empty: the daemon
  // ends, and the manager's socket goes on listening for the next start.
  EXPECT_EQ(daemon.WaitExit(30000), 0);
  int listening = 0;
  socklen_t size = sizeof listening;
  getsockopt(managers, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size);
  EXPECT_EQ(listening, 1);
  const int queued = ConnectTcp(handedPort);
  EXPECT_GE(queued, 0);
  close(queued);
  close(managers);
}

// Stop signals while 32 clients stream orders: every round ends with 0.
TEST_F(VigildE2ETest, TermSignalUnderStreamingClientsEndsWithStatusZero) {
  for (int round = 0; round < 5; ++round) {
    Daemon daemon(home, {"-P", std::to_string(port), "-D", "5"}, Env());
    ASSERT_TRUE(Accepts(port));
    std::atomic<int> connected{0};
    std::atomic<bool> done{false};
    std::vector<std::thread> clients;
    for (int i = 0; i < 32; ++i) {
      clients.emplace_back([&, pid = 900000 + i] {
        const int fd = ConnectTcp(port);
        connected += fd >= 0 ? 1 : 0;
        const std::string orders =
            WatchOrder(pid) + "BEGINMSG\npid: " + std::to_string(pid) + "\nEND;\n";
        while (fd >= 0 && !done && send(fd, orders.data(), orders.size(), MSG_NOSIGNAL) > 0) {
        }
        close(fd);
      });
    }
    EXPECT_TRUE(WaitUntil([&] { return connected == 32; }, 30000));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    kill(daemon.pid, round % 2 ? SIGINT : SIGTERM);
    EXPECT_EQ(daemon.WaitExit(10000), 0) << "round " << round;
    done = true;
    for (std::thread& t : clients) {
      t.join();
    }
  }
}

// ---- Access to the order port

constexpr uid_t kNobody = 65534;

// A supervised client: a detached process (reparented to init, so once killed it is reaped and
// never looks alive) that takes uid's identity, connects from `from`, registers itself with the
// commands that `orders` makes of its own pid, reports over-limit memory and then waits. Returns
// its pid once its orders are sent; the test kills what is left of it.
pid_t Client(uid_t uid, const char* from, int port,
             const std::function<std::string(pid_t)>& orders) {
  int report[2];
  if (pipe(report) != 0) {
    return -1;
  }
  const pid_t child = fork();
  if (child == 0) {
    if (fork() == 0) {
      close(report[0]);
      if (uid != 0 && (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0)) {
        _exit(2);
      }
      const int fd = ConnectTcp(port, from);
      const std::string text =
          orders(getpid()) + "BEGINMSG\npid: " + std::to_string(getpid()) + "\npswset: 500\nEND;\n";
      send(fd, text.data(), text.size(), MSG_NOSIGNAL);
      const pid_t self = getpid();
      if (write(report[1], &self, sizeof self) != sizeof self) {
        _exit(3);
      }
      for (;;) {
        pause();
      }
    }
    _exit(0);
  }
  close(report[1]);
  waitpid(child, nullptr, 0);
  pid_t pid = -1;
  if (read(report[0], &pid, sizeof pid) != sizeof pid) {
    pid = -1;
  }
  close(report[0]);
  return pid;
}

// A watch order for pid whose working-set limit its next report passes.
std::string RestartableWatch(pid_t pid, const std::string& start, const std::string& stop) {
  return "BEGINWATCH\npid: " + std::to_string(pid) + "\npsname: access\npsstart: " + start +
         "\npsstop: " + stop + "\nmaxwset: 100\nEND;\n";
}

int OpenDescriptors(pid_t pid) {
  glob_t found{};
  glob(("/proc/" + std::to_string(pid) + "/fd/*").c_str(), 0, nullptr, &found);
  const int count = static_cast<int>(found.gl_pathc);
  globfree(&found);
  return count;
}

class VigildAccessE2ETest : public VigildE2ETest {
 protected:
  VigildAccessE2ETest() : marks(home.Join("marks")) {
    // The clients and the commands of another user write their marks here.
    chmod(home.path().c_str(), 0755);
    mkdir(marks.c_str(), 0777);
    chmod(marks.c_str(), 0777);
  }
  ~VigildAccessE2ETest() override {
    for (pid_t pid : clients) {
      kill(pid, SIGKILL);
    }
  }
  // A daemon on the fixture's port configured with these lines.
  std::unique_ptr<Daemon> StartWith(const std::string& lines) {
    home.WriteFile("access.conf", lines);
    return Start({"-f", home.Join("access.conf")});
  }
  pid_t Track(pid_t pid) {
    clients.push_back(pid);
    return pid;
  }
  // A client whose stop command touches marks/<name>: the mark shows the
  // order was taken without waiting for the restart pause.
  pid_t Touching(uid_t uid, const char* from, const std::string& name) {
    return Track(Client(uid, from, port, [&](pid_t pid) {
      return RestartableWatch(pid, "touch " + Mark(name + ".started"),
                              "touch " + Mark(name) + " && kill " + std::to_string(pid));
    }));
  }
  std::string Mark(const std::string& name) const { return marks + "/" + name; }
  bool Exists(const std::string& name) const { return access(Mark(name).c_str(), F_OK) == 0; }
  static bool Alive(pid_t pid) { return kill(pid, 0) == 0; }

  const std::string marks;
  std::vector<pid_t> clients;
};

TEST_F(VigildAccessE2ETest, PeerOutsideTheListIsClosedUnreadAndABurstLogsOnceLeavingNoDescriptor) {
  auto daemon = StartWith("GLOBAL.WATCHMGR.ALLOWEDPEERS=127.0.0.1\n");
  const int keeper = ConnectWhenUp();  // an item never found wrong keeps the daemon running
  ASSERT_GE(keeper, 0);
  Send(keeper, WatchOrder(getpid()));
  const pid_t outsider = Touching(0, "127.0.0.2", "outsider");
  const pid_t insider = Touching(0, "127.0.0.1", "insider");
  ASSERT_GT(outsider, 0);
  ASSERT_GT(insider, 0);
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

TEST_F(VigildAccessE2ETest, OnlyAllowedUsersRegisterAndTheirCommandsRunAsThem) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root to run clients as nobody";
  }
  {
    auto daemon = Start();  // the default users: root and the daemon's own
    ASSERT_TRUE(Accepts(port));
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
  ASSERT_TRUE(Accepts(port));
  const pid_t allowed = Track(Client(kNobody, "127.0.0.1", port, [&](pid_t pid) {
    return RestartableWatch(pid, "id -u > " + Mark("started"),
                            "id -u > " + Mark("stopped") + "; kill " + std::to_string(pid));
  }));
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

TEST_F(VigildAccessE2ETest, WatchOrderWithACommandOutsideThePatternIsRefused) {
  // With a filter, one command is one program: touching and killing takes a script.
  home.WriteFile("marks/stop.sh", "touch \"$(dirname \"$0\")/$1\"; kill \"$2\"\n");
  auto daemon = StartWith(
      "GLOBAL.WATCHMGR.ALLOWEDCOMMANDS=(touch|/bin/sh) [-/.a-zA-Z0-9]+( [0-9a-z]+)*\n");
  ASSERT_TRUE(Accepts(port));
  const pid_t bad = Track(Client(0, "127.0.0.1", port, [&](pid_t pid) {
    return RestartableWatch(pid, "touch " + Mark("bad") + " && true",
                            "touch " + Mark("bad.stopped") + " && kill " + std::to_string(pid));
  }));
  Track(Client(0, "127.0.0.1", port, [&](pid_t pid) {
    return RestartableWatch(pid, "touch " + Mark("good.started"),
                            "/bin/sh " + Mark("stop.sh") + " good " + std::to_string(pid));
  }));
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

TEST_F(VigildAccessE2ETest, MalformedAccessKeysStopTheStartAndAnOpenPortIsLoud) {
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
  EXPECT_TRUE(Accepts(port));
  // The console is written by its own thread: the line may follow the listener's start.
  EXPECT_TRUE(WaitUntil(
      [&] { return Has(open->Err(), std::string(kLoud) + " (WATCHMGR.ALLOWEDPEERS=any)"); }, 10000))
      << open->Err();
  open.reset();
  // Bound to loopback, nobody beyond the host can reach it, whatever the list says.
  auto bound =
      StartWith("GLOBAL.WATCHMGR.ALLOWEDPEERS=any\nGLOBAL.WATCHMGR.BINDADDRESS=127.0.0.1\n");
  EXPECT_TRUE(Accepts(port));
  EXPECT_FALSE(Has(bound->Err(), kLoud)) << bound->Err();
  auto local = StartWith("");
  EXPECT_FALSE(Has(local->Err(), kLoud));
}

// Removes a directory the daemon writes into meanwhile: a file it renames
// or removes between the listing and the removal is not an error.
void RemoveWhileWritten(const std::string& path) {
  for (int attempt = 0; attempt < 50; ++attempt) {
    std::error_code error;
    std::filesystem::remove_all(path, error);
    if (!error) {
      return;
    }
  }
  ADD_FAILURE() << "cannot remove " << path;
}

// The log directory goes away, then cannot be written (a file stands where
// it was; for a user other than root also a read-only directory), while the
// daemon runs: supervision goes on, each run of failures gives one error
// line, and the files come back with the directory.
TEST_F(VigildE2ETest, LogDirectoryRemovedOrUnwritableStopsNothingAndFilesResume) {
  home.WriteFile("vigild.conf", "GLOBAL.LOGMANAGER.CREATEFILES=1\n");
  auto daemon = Start({"-f", home.Join("vigild.conf")});
  const int fd = ConnectWhenUp();
  ASSERT_GE(fd, 0);
  Send(fd, WatchOrder(getpid()));  // every pass logs a line about it
  const std::string checked = "Checking item : e2e, pid=" + std::to_string(getpid());
  const auto logging = [&] {
    return WaitUntil([&] { return Has(LogFilesText(), checked); }, 10000);
  };
  ASSERT_TRUE(logging());
  const std::string logDir = home.Join("log");
  RemoveWhileWritten(logDir);
  EXPECT_TRUE(logging()) << "no file after the directory was removed";

  struct Fault {
    const char* name;
    std::function<void()> make, undo;
  };
  std::vector<Fault> faults = {{"a file in its place",
                                [&] {
                                  RemoveWhileWritten(logDir);
                                  home.WriteFile("log", "");
                                },
                                [&] { unlink(logDir.c_str()); }}};
  if (geteuid() != 0) {
    faults.push_back({"read-only",
                      [&] {
                        RemoveWhileWritten(logDir);
                        mkdir(logDir.c_str(), 0555);
                      },
                      [&] { chmod(logDir.c_str(), 0755); }});
  } else {
    std::printf("read-only directory not tried: root writes into it all the same\n");
  }
  const std::string failure = "[LogDeviceFile::OpenFileFor] ERROR : open log file ";
  for (const Fault& fault : faults) {
    SCOPED_TRACE(fault.name);
    const size_t before = Count(daemon->Err(), failure);
    fault.make();
    EXPECT_TRUE(WaitUntil([&] { return Count(daemon->Err(), failure) > before; }, 10000));
    std::this_thread::sleep_for(std::chrono::seconds(2));  // two more passes fail to log
    EXPECT_EQ(Count(daemon->Err(), failure), before + 1) << daemon->Err();
    fault.undo();
    EXPECT_TRUE(logging()) << "no file once the directory was back";
  }
  EXPECT_EQ(daemon->WaitExit(0), -1);
  close(fd);
}

// A process over its working-set limit is stopped and, after the pause,
// started again. Standard output is meanwhile a full pipe nobody reads (a
// paused pager, a stuck journal): the Error record of the process found
// wrong must not hold up the pass, so the restart still comes on time.
TEST_F(VigildE2ETest, ProcessOverItsLimitIsRestartedOnTimeThoughNobodyReadsTheConsole) {
  int ends[2];
  ASSERT_EQ(0, pipe2(ends, O_CLOEXEC));
  const int size = fcntl(ends[1], F_SETPIPE_SZ, 4096);
  ASSERT_GT(size, 0);
  const std::string filler(static_cast<size_t>(size), '.');
  ASSERT_EQ(write(ends[1], filler.data(), filler.size()), size);
  Daemon daemon(home, {"-P", std::to_string(port), "-D", "5"}, Env(), ends[1]);
  close(ends[1]);
  const int fd = ConnectWhenUp();
  ASSERT_GE(fd, 0);
  const std::string pid = DetachedSleep();
  ASSERT_FALSE(pid.empty());
  const std::string marker = home.Join("started");
  SendOverLimit(fd, pid, "big", "kill " + pid, "echo again > " + marker);
  // A pass, up to two grace checks, the 10 s pause, the start.
  EXPECT_TRUE(WaitUntil([&] { return ReadAll(marker) == "again\n"; }, 25000));
  EXPECT_NE(kill(std::stoi(pid), 0), 0);
  EXPECT_TRUE(
      Has(daemon.Err(), "process #" + pid + " big, reachs Working Set uppper limit : 500 > 100"));
  kill(std::stoi(pid), SIGKILL);
  close(fd);
  close(ends[0]);
}

// A stop signal while the pass sits in the 10 s pause of a restart, with a
// client waiting for the table: the daemon ends with 0 within 2 s, every
// record queued by then is in the day's file, and the start command never runs.
TEST_F(VigildE2ETest, TermSignalDuringARestartPauseDrainsTheLogAndEndsWithinTwoSeconds) {
  home.WriteFile("vigild.conf", "GLOBAL.LOGMANAGER.CREATEFILES=1\n");
  auto daemon = Start({"-f", home.Join("vigild.conf")});
  const int fd = ConnectWhenUp();
  ASSERT_GE(fd, 0);
  const std::string pid = DetachedSleep();
  ASSERT_FALSE(pid.empty());
  const std::string marker = home.Join("started");
  SendOverLimit(fd, pid, "big", "kill " + pid, "echo again > " + marker);
  ASSERT_TRUE(
      WaitUntil([&] { return Has(LogFilesText(), "process pid has been removed."); }, 15000));
  // Lines the daemon logs as it reads them, then an order that waits for the table.
  std::string lines;
  for (int i = 0; i < 50; ++i) {
    lines += "queued-" + std::to_string(i) + "\n";
  }
  Send(fd, lines + "BEGINMSG\npid: " + pid + "\npswset: 5\nEND;\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const auto signalled = Clock::now();
  kill(daemon->pid, SIGTERM);
  EXPECT_EQ(daemon->WaitExit(5000), 0);
  EXPECT_LT(Clock::now() - signalled, std::chrono::milliseconds(2000));
  const std::string logged = LogFilesText();
  for (int i = 0; i < 50; ++i) {
    EXPECT_TRUE(Has(logged, "Read line : queued-" + std::to_string(i) + "\n")) << i;
  }
  EXPECT_TRUE(Has(logged, "INFO : signal 15 received, stopping")) << logged;
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(ReadAll(marker), "");
  close(fd);
}

#else  // VIGILD_E2E_SLOW

// A process that ignores SIGTERM outlives its stop command: it gets the
// real grace wait (70 checks 2 s apart), then "kill -9", then the 10 s pause
// and its start command.
TEST_F(VigildE2ETest, ProcessIgnoringItsStopCommandIsKilledAfterTheGraceWait) {
  auto daemon = Start();
  const int fd = ConnectWhenUp();
  ASSERT_GE(fd, 0);
  const std::string pid = DetachedSleep("sh -c 'trap \"\" TERM; exec sleep 400'");
  ASSERT_FALSE(pid.empty());
  const std::string marker = home.Join("started");
  SendOverLimit(fd, pid, "deaf", "kill " + pid, "echo again > " + marker);
  ASSERT_TRUE(
      WaitUntil([&] { return Has(daemon->Out(), "STOPPING process with kill " + pid); }, 10000));
  const auto stopped = Clock::now();
  EXPECT_TRUE(WaitUntil([&] { return kill(std::stoi(pid), 0) != 0; }, 170000));
  const auto killed = Clock::now();
  EXPECT_GE(killed - stopped, std::chrono::seconds(135));
  EXPECT_TRUE(Has(daemon->Out(), "INFO : KILLING process ID " + pid));
  EXPECT_TRUE(WaitUntil([&] { return ReadAll(marker) == "again\n"; }, 20000));
  EXPECT_GE(Clock::now() - killed, std::chrono::seconds(9));
  kill(std::stoi(pid), SIGKILL);
  close(fd);
}

TEST_F(VigildE2ETest, DaemonNobodyTalksToEndsAfterAboutAMinute) {
  auto daemon = Start();
  const auto begin = Clock::now();
  EXPECT_EQ(daemon->WaitExit(80000), 0);
  EXPECT_GE(Clock::now() - begin, std::chrono::seconds(55));
  EXPECT_TRUE(Has(daemon->Out(), "Empty Process List (time to live 1 s)"));
}

TEST_F(VigildE2ETest, MuteClientSurvivesTheFirstTimeOutAndIsDroppedBySecond) {
  auto daemon = Start();
  const int keeper = ConnectWhenUp();
  ASSERT_GE(keeper, 0);
  Send(keeper, WatchOrder(getpid()));  // keeps the table, and so the daemon, alive
  const int mute = ConnectTcp(port);
  ASSERT_GE(mute, 0);
  bool closed = false;
  EXPECT_EQ(BytesWithin(mute, 70000, &closed), 0u);
  EXPECT_FALSE(closed) << "dropped at the first time-out";
  EXPECT_EQ(BytesWithin(mute, 60000, &closed), 0u);
  EXPECT_TRUE(closed);
  EXPECT_TRUE(WaitUntil(
      [&] {
        return Has(daemon->Out(),
                   "WARNING : Socket is mute for long time (more than 60 sec), connection will be "
                   "closed");
      },
      5000));
  close(mute);
  close(keeper);
}

#endif

}  // namespace
