#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <set>
#include <string>
#include <thread>

#include "ProcessTools.h"
#include "RunAs.h"
#include "StderrCapture.h"
#include "TempDir.h"
#include "TestWaits.h"

namespace {

// Milliseconds CommandLunch took; it must answer 1.
long MsToLaunch(const std::string& text, int mode) {
  String command(text.c_str());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(1, CommandLunch(command, mode)) << text;
  const auto took = std::chrono::steady_clock::now() - start;
  return std::chrono::duration_cast<std::chrono::milliseconds>(took).count();
}

// The detached shell lists its descriptors while expanding "*", the listing's own being 3:
// "0 1 2 3" means nothing else came through, though the test holds descriptor 100 open.
TEST(ProcessToolsTest, LaunchWaitsOnlyInForegroundIgnoresStatusAndPassesOnNoDescriptor) {
  TempDir dir;
  const int high = fcntl(1, F_DUPFD, 100);
  ASSERT_GE(high, 100);
  const std::string listing = dir.Join("fds");
  StderrCapture shellComplaints;  // the shell refuses "()&"
  EXPECT_LT(MsToLaunch("sleep 1; cd /proc/self/fd && set -- * && echo \"$@\" > " + listing, 0),
            900);
  EXPECT_GE(MsToLaunch("sleep 1", 1), 900);
  EXPECT_LT(MsToLaunch("exit 3", 1) + MsToLaunch("", 0), 900);
  std::string fds;
  for (int tries = 0; tries < 200 && fds.find('\n') == std::string::npos; ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::ifstream in(listing);
    std::getline(in, fds, '\0');
  }
  EXPECT_EQ("0 1 2 3\n", fds);
  close(high);
}

// The command records what it was given: its user and groups, its
// environment, where its descriptors lead, and its working directory; what
// it prints must not reach the daemon's own streams. Without an account it
// runs as the daemon; as another user, root's supplementary groups are gone
// and the files it makes are that user's.
TEST(ProcessToolsTest, CommandsRunInACleanContextOfTheirAccount) {
  TempDir dir;
  chmod(dir.path().c_str(), 0777);
  setenv("VIGILD_DAEMON_SECRET", "leaked", 1);
  const int high = fcntl(1, F_DUPFD, 100);  // not close-on-exec
  ASSERT_GE(high, 100);
  RunAs nobody;
  std::string error;
  ASSERT_TRUE(RunAs::ForUid(65534, nobody, error)) << error;
  RunAs own;
  ASSERT_TRUE(RunAs::ForUid(geteuid(), own, error)) << error;
  struct Case {
    const RunAs* as;
    const RunAs& account;
  };
  const Case kCases[] = {{nullptr, own}, {&nobody, nobody}};
  for (const Case& c : kCases) {
    if (c.as != nullptr && geteuid() != 0) {
      continue;  // only root can run a command as another user
    }
    SCOPED_TRACE(c.account.name);
    const std::string out = dir.Join(c.account.name);
    // The descriptors are listed by the shell itself, which holds one more
    // (3) for the listing: "0 1 2 3" means nothing of the daemon came through.
    String command(("echo forged line; echo forged error >&2; id -u > " + out + ".uid; id -G > " +
                    out + ".groups; pwd > " + out + ".cwd; env > " +
                    out + ".env; n=; for f in 0 1 2; do [ /proc/self/fd/$f -ef /dev/null ] && " +
                    "n=$n$f; done; cd /proc/self/fd && set -- * && echo \"$* null:$n\" > " + out +
                    ".fds")
                       .c_str());
    StderrCapture daemonStderr;
    StdoutCapture daemonStdout;
    ASSERT_EQ(CommandLunch(command, 1, c.as), 1);
    EXPECT_EQ(daemonStdout.Stop() + daemonStderr.Stop(), "");
    std::ifstream envFile(out + ".env");
    std::set<std::string> env;
    for (std::string line; std::getline(envFile, line);) {
      env.insert(line);
    }
    env.erase("PWD=" + ReadAll(out + ".cwd").substr(0, ReadAll(out + ".cwd").size() - 1));
    EXPECT_EQ(env, (std::set<std::string>{"PATH=/usr/local/bin:/usr/bin:/bin",
                                          "HOME=" + c.account.home, "SHELL=" + c.account.shell,
                                          "USER=" + c.account.name, "LOGNAME=" + c.account.name}));
    EXPECT_EQ(ReadAll(out + ".uid"), std::to_string(c.account.uid) + "\n");
    struct stat made {};
    ASSERT_EQ(stat((out + ".uid").c_str(), &made), 0);
    EXPECT_EQ(made.st_uid, c.account.uid);
    if (c.as != nullptr) {
      EXPECT_EQ(ReadAll(out + ".groups"), "65534\n");
    }
    EXPECT_EQ(ReadAll(out + ".fds"), "0 1 2 3 null:012\n");
    const bool homeExists = access(c.account.home.c_str(), X_OK) == 0;
    EXPECT_EQ(ReadAll(out + ".cwd"), (homeExists ? c.account.home : std::string("/")) + "\n");
  }
  unsetenv("VIGILD_DAEMON_SECRET");
  close(high);
}

TEST(ProcessToolsTest, CheckPIDFollowsAChildThatKillProcessEnds) {
  EXPECT_EQ(getpid(), GetPID());
  EXPECT_EQ(1, CheckPID(GetPID()));
  const pid_t child = fork();
  if (child == 0) {
    for (;;) {
      pause();
    }
  }
  ASSERT_GT(child, 0);
  EXPECT_EQ(1, CheckPID(child));
  EXPECT_EQ(1, KillProcess(child));
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
  EXPECT_EQ(0, CheckPID(child));
  // kill(…, 0) would find the process groups these name.
  EXPECT_EQ(0, CheckPID(0) + CheckPID(-1));
}

TEST(ProcessToolsTest, CheckPIDCountsProcessOfAnotherUserAsAlive) {
  if (kill(1, 0) == 0) {
    GTEST_SKIP() << "this user may signal process 1 (root, or its owner): no other user's process";
  }
  ASSERT_EQ(EPERM, errno);
  EXPECT_EQ(1, CheckPID(1));
}

}  // namespace
