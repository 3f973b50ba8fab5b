// Program files against the real daemon and vigilctl, started through the
// wrapper the daemon is configured with.
#include <iterator>

#include "CtlHarness.h"

namespace {

class ProgramsE2ETest : public CtlHarness {
 protected:
  ProgramsE2ETest() { mkdir(home.Join("programs").c_str(), 0755); }
  // The wrappers name the home and go with CtlHarness; their programs, which
  // outlive the daemon by design, are "sleep 600" by then.
  ~ProgramsE2ETest() override {
    daemon.reset();
    for (const std::string& name : names) {
      for (pid_t pid : Live(name)) {
        kill(pid, SIGKILL);
      }
    }
  }

  // A program file: the program records its pid, prints its directory and
  // GREETING, and sleeps.
  void Define(const std::string& name, const std::string& greeting, const std::string& more = "") {
    names.insert(name);
    const std::string directory = home.Join("dir-" + name);
    mkdir(directory.c_str(), 0755);
    home.WriteFile("programs/" + name + ".conf",
                   "# " + name + "\ncommand = /bin/sh -c 'echo $$ >> " + Mark(name) +
                       "; echo \"in $(pwd)\"; echo \"greeting=$GREETING\"; exec sleep 600'\n"
                       "directory = " +
                       directory + "\nenv.GREETING = " + greeting + "\n" + more);
  }
  // Level 1: what an operator sees by default.
  void StartPrograms() {
    StartDaemon("GLOBAL.WATCHMGR.VIGILCTL=" + std::string(VIGILCTL_BINARY) + "\n", "1");
  }
  // An operator's order for name ("" for a reload) sent as uid.
  void OrderAs(uid_t uid, const std::string& order, const std::string& name) {
    const std::string text =
        "BEGIN" + order + "\n" + (name.empty() ? "" : "psname: " + name + "\n") + "END;\n";
    ASSERT_GT(Process(uid, [text](pid_t) { return text; }), 0);
  }
  // Every pid the program recorded, in order.
  std::vector<pid_t> Pids(const std::string& name) const {
    std::ifstream file(Mark(name));
    return std::vector<pid_t>(std::istream_iterator<pid_t>(file), {});
  }
  std::vector<pid_t> Live(const std::string& name) const {
    std::vector<pid_t> live, pids = Pids(name);
    std::copy_if(pids.begin(), pids.end(), std::back_inserter(live), Alive);
    return live;
  }
  // Waits for the program's count-th start; its pid, or -1.
  pid_t WaitStarted(const std::string& name, size_t count, int timeoutMs = 10000) {
    return WaitUntil([&] { return Pids(name).size() >= count && !Live(name).empty(); }, timeoutMs)
               ? Pids(name)[count - 1]
               : -1;
  }
  // The shell execs sleep right after recording its pid, and an exec under
  // way reads back as no environment at all; any text read is whole.
  static std::string Environment(pid_t pid) {
    std::string text;
    WaitUntil(
        [&] { return !(text = ReadAll("/proc/" + std::to_string(pid) + "/environ")).empty(); },
        2000);
    return text;
  }

  std::set<std::string> names;
};

// Alpha and beta stay unchanged until beta is stopped; "added" is then kept
// and "beta" held across the daemon's death.
TEST_F(ProgramsE2ETest, ProgramsRunInContextComeBackTakeSighupAndAStopSurvivesADaemonRestart) {
  Define("alpha", "hello alpha");
  Define("beta", "hello beta", "output = log\nlog-keep = 2\n");
  Define("changed", "before");
  Define("removed", "r");
  home.WriteFile("programs/bad.conf", "command = /bin/true\ncolour = red\n");
  StartPrograms();
  const pid_t alpha = WaitStarted("alpha", 1), beta = WaitStarted("beta", 1);
  ASSERT_TRUE(alpha > 0 && beta > 0 && WaitStarted("changed", 1) > 0 &&
              WaitStarted("removed", 1) > 0)
      << DaemonLog();
  EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(alpha) + "/cwd"),
            home.Join("dir-alpha"));
  const std::string environment = Environment(alpha);
  EXPECT_TRUE(Has(environment, std::string("GREETING=hello alpha\0", 21))) << environment;
  EXPECT_FALSE(Has(environment, "TLMHOME="));
  EXPECT_TRUE(daemon->ErrSays(
      "program file " + home.Join("programs/bad.conf") + ", line 2, key 'colour'", 2000))
      << DaemonLog();

  ASSERT_TRUE(WaitUntil([&] { return Has(Ctl({"logs", "beta"}, false).out, "greeting="); }, 5000));
  const Result logs = Ctl({"logs", "beta", "-n", "5"}, false);
  EXPECT_EQ(logs.status, 0) << logs.err;
  EXPECT_TRUE(Has(logs.out, "in " + home.Join("dir-beta") + "\n")) << logs.out;
  EXPECT_TRUE(Has(logs.out, "greeting=hello beta\n")) << logs.out;
  EXPECT_EQ(Ctl({"logs", "beta", "-n", "1"}, false).out.find("in "), std::string::npos);
  EXPECT_EQ(Ctl({"logs", "nosuch"}, false).status, 1);
  EXPECT_EQ(Ctl({"logs", "../beta"}, false).status, 1);

  // kill -9: back within 3 s and told at the default level; one copy, as SIGHUP shows below.
  kill(alpha, SIGKILL);
  const pid_t again = WaitStarted("alpha", 2, 3000);
  EXPECT_TRUE(daemon->ErrSays("Start Cmd", 2000)) << DaemonLog();

  Define("changed", "after");
  Define("added", "a");
  unlink(home.Join("programs/removed.conf").c_str());
  kill(daemon->pid, SIGHUP);
  const pid_t added = WaitStarted("added", 1);
  const pid_t renewed = WaitStarted("changed", 2);
  ASSERT_GT(renewed, 0) << DaemonLog();
  EXPECT_TRUE(Has(Environment(renewed), std::string("GREETING=after\0", 15)));
  EXPECT_TRUE(
      WaitUntil([&] { return Live("removed").empty() && Live("changed").size() == 1; }, 5000));
  EXPECT_EQ(Live("alpha"), std::vector<pid_t>{again}) << DaemonLog();
  EXPECT_EQ(Live("beta"), std::vector<pid_t>{beta});

  EXPECT_EQ("0|beta: stopped\n|", Told(Ctl({"stop", "beta"}, false))) << DaemonLog();
  EXPECT_TRUE(WaitUntil([&] { return Live("beta").empty(); }, 5000));
  EXPECT_EQ("4||vigilctl: no program file defines nosuch\n", Told(Ctl({"stop", "nosuch"}, false)));

  // The daemon dies and comes back: every running program is adopted (same
  // pid, no copy), whether it was started at boot, by a restart or by a
  // reload; beta stays stopped.
  kill(daemon->pid, SIGKILL);
  daemon->WaitExit(5000);
  StartPrograms();
  std::this_thread::sleep_for(std::chrono::milliseconds(5000));
  EXPECT_EQ(Live("added"), std::vector<pid_t>{added});
  EXPECT_EQ(Live("alpha"), std::vector<pid_t>{again});
  EXPECT_EQ(Live("changed"), std::vector<pid_t>{renewed});
  EXPECT_EQ(Pids("added").size() + Pids("alpha").size() + Pids("changed").size(), 5u);
  EXPECT_EQ(Pids("beta").size(), 1u) << "beta started again";
  EXPECT_TRUE(Has(Status().out, "\"added\"")) << Status().out;

  EXPECT_EQ("0|beta: watching\n|", Told(Ctl({"start", "beta"}, false))) << DaemonLog();
  EXPECT_GT(WaitStarted("beta", 2), 0);
  EXPECT_EQ("0|added: watching\n|", Told(Ctl({"restart", "added"}, false))) << DaemonLog();
  EXPECT_GT(WaitStarted("added", 2), 0);
  EXPECT_TRUE(
      WaitUntil([&] { return Live("added").size() == 1 && Live("beta").size() == 1; }, 5000));
  // An operator's orders are not the program's failures: no restart is counted.
  for (const std::string name : {"added", "beta"}) {
    EXPECT_EQ(At("/programs/" + name + "/restarts"), 0) << name;
    EXPECT_TRUE(At("/programs/" + name + "/last_reason").is_null()) << name;
  }
}

// Under the default users, a program file's user is admitted; a third user is
// not even heard. Every refusal is logged and changes nothing.
TEST_F(ProgramsE2ETest, OnlyRootAndTheProgramsUserStopStartOrRestartItAndOnlyRootReloads) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root to give orders as other users";
  }
  constexpr uid_t kThirdUser = 1;  // "daemon" on Debian
  Define("ours", "o");
  Define("theirs", "t", "user = nobody\n");
  StartPrograms();
  const pid_t ours = WaitStarted("ours", 1), theirs = WaitStarted("theirs", 1);
  ASSERT_TRUE(ours > 0 && theirs > 0) << DaemonLog();
  ASSERT_TRUE(WaitUntil([&] { return Has(Status().out, "\"watching\""); }, 10000));

  const std::string notTheirs = " from uid 65534 refused: only root and the program's user may";
  const struct {
    uid_t uid;
    const char *order, *name;
    std::string logged;
  } refused[] = {
      {kNobody, "STOP", "ours", "stop order for ours" + notTheirs},
      {kNobody, "RESTART", "ours", "restart order for ours" + notTheirs},
      {kNobody, "RELOAD", "",
       "reload order for the program files from uid 65534 refused: only root and the daemon's "
       "user may"},
      {kThirdUser, "STOP", "theirs", "Orders from uid 1 (peer 127.0.0.1:"},
  };
  for (const auto& order : refused) {
    OrderAs(order.uid, order.order, order.name);
  }
  for (const auto& order : refused) {
    EXPECT_TRUE(daemon->ErrSays(order.logged, 5000)) << order.logged << "\n" << DaemonLog();
  }
  std::this_thread::sleep_for(std::chrono::seconds(1));
  EXPECT_EQ(Live("ours"), std::vector<pid_t>{ours});
  EXPECT_EQ(Live("theirs"), std::vector<pid_t>{theirs});
  EXPECT_FALSE(Has(DaemonLog(), "reading the program files again"));

  OrderAs(kNobody, "STOP", "theirs");
  EXPECT_TRUE(WaitUntil([&] { return Live("theirs").empty(); }, 10000)) << DaemonLog();
  OrderAs(kNobody, "START", "theirs");
  EXPECT_GT(WaitStarted("theirs", 2), 0) << DaemonLog();
  EXPECT_EQ(Live("ours"), std::vector<pid_t>{ours});
}

}  // namespace
