#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "ProcessTools.h"
#include "StderrCapture.h"
#include "TempDir.h"

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
