// End-to-end: the real vigild keeps each user to the items it registered. A
// client running as nobody tries to forget, beat for and register root's
// processes; root then acts on nobody's item.
#include <grp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
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

void Send(int fd, const std::string& text) {
  ASSERT_EQ(send(fd, text.data(), text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(text.size()));
}

// A watch order whose working-set limit a report of 500 passes; stop touches mark.
std::string Watch(pid_t pid, const std::string& mark, const std::string& then = "") {
  return "BEGINWATCH\npid: " + std::to_string(pid) + "\npsname: lane\npsstart: \npsstop: touch " +
         mark + then + "\nmaxwset: 100\nEND;\n";
}

std::string Beat(pid_t pid) {
  return "BEGINMSG\npid: " + std::to_string(pid) + "\npswset: 500\nEND;\n";
}

class OwnershipE2ETest : public ::testing::Test {
 protected:
  OwnershipE2ETest() : port(FreePort()), marks(home.Join("marks")) {
    chmod(home.path().c_str(), 0755);
    mkdir(home.Join("log").c_str(), 0755);
    mkdir(home.Join("conf").c_str(), 0755);
    mkdir(marks.c_str(), 0777);
    chmod(marks.c_str(), 0777);
  }
  ~OwnershipE2ETest() override {
    for (pid_t pid : processes) {
      kill(pid, SIGKILL);
    }
    if (daemon > 0) {
      kill(daemon, SIGKILL);
      waitpid(daemon, nullptr, 0);
    }
  }

  // A process of uid that reparents to init (so it is reaped once killed) and pauses; with
  // orders, it first connects as uid, sends orders(its pid) and keeps the connection open.
  pid_t Process(uid_t uid, const std::function<std::string(pid_t)>& orders = nullptr) {
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
        if (orders) {
          const int fd = ConnectTcp(port);
          const std::string text = orders(getpid());
          if (fd < 0 || send(fd, text.data(), text.size(), MSG_NOSIGNAL) < 0) {
            _exit(3);
          }
        }
        const pid_t self = getpid();
        if (write(report[1], &self, sizeof self) != sizeof self) {
          _exit(4);
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
    processes.push_back(pid);
    return pid;
  }

  std::string Mark(const std::string& name) const { return marks + "/" + name; }
  bool Exists(const std::string& name) const { return access(Mark(name).c_str(), F_OK) == 0; }
  std::string Err() const { return ReadAll(home.Join("stderr")); }

  TempDir home;
  const int port;
  const std::string marks;
  std::vector<pid_t> processes;
  pid_t daemon = -1;
};

TEST_F(OwnershipE2ETest, NobodyCannotTouchRootsItemsWhileRootActsOnNobodys) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root to run a client as nobody";
  }
  home.WriteFile("lane.conf", "GLOBAL.WATCHMGR.ALLOWEDUSERS=root,nobody\n");
  daemon = SpawnClean({VIGILD_BINARY, "-P", std::to_string(port), "-D", "2", "-f",
                       home.Join("lane.conf")},
                      {"TLMHOME=" + home.path()}, home.Join("stdout"), home.Join("stderr"));
  int root = -1;
  ASSERT_TRUE(WaitUntil([&] { return (root = ConnectTcp(port)) >= 0; }, 10000));
  const pid_t registered = Process(0), unregistered = Process(0);
  ASSERT_GT(registered, 0);
  ASSERT_GT(unregistered, 0);
  Send(root, Watch(registered, Mark("root"), "; kill " + std::to_string(registered)));

  // Nobody registers itself, then tries root's item and root's other process. Its connection
  // stays open, so the daemon identifies it while it reads the orders.
  const pid_t nobody = Process(kNobody, [&](pid_t self) {
    return Watch(self, Mark("nobody"), "; kill " + std::to_string(self)) +
           "BEGINMGMT\nstop: " + std::to_string(registered) + "\nEND;\n" + Beat(registered) +
           Watch(unregistered, Mark("stolen")) + Beat(unregistered) + Watch(registered, Mark("x"));
  });
  ASSERT_GT(nobody, 0);
  const std::string from = " from uid 65534 refused: ";
  const std::string r = std::to_string(registered), u = std::to_string(unregistered);
  const std::vector<std::string> refusals = {
      "mgmt order for pid " + r + from + "the item was registered by another user",
      "msg order for pid " + r + from + "the item was registered by another user",
      "watch order for pid " + u + from + "the process belongs to another user",
  };
  for (const std::string& refusal : refusals) {
    EXPECT_TRUE(WaitUntil([&] { return Has(Err(), refusal); }, 10000)) << refusal << "\n"
                                                                       << Err();
  }
  // Passes run every second: an accepted beat of 500 would have stopped root's process by now.
  sleep(3);
  EXPECT_FALSE(Exists("root"));
  EXPECT_FALSE(Exists("stolen"));
  EXPECT_FALSE(Exists("x"));

  // Root beats for both items: its own is still registered, and nobody's stop runs as nobody.
  Send(root, Beat(nobody) + Beat(registered));
  EXPECT_TRUE(WaitUntil([&] { return Exists("root") && Exists("nobody"); }, 40000))
      << Exists("root") << Exists("nobody") << Err();
  struct stat info {};
  ASSERT_EQ(stat(Mark("nobody").c_str(), &info), 0);
  EXPECT_EQ(info.st_uid, kNobody);
  EXPECT_FALSE(Exists("stolen"));
  close(root);
}

}  // namespace
