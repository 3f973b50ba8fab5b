#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "CapturingLogDevice.h"
#include "LogServer.h"
#include "ProcessTools.h"
#include "StderrCapture.h"
#include "TempDir.h"
#include "TlConfigurationGlobal.h"

namespace {

// Milliseconds CommandLunch took; it must answer 1.
long MsToLaunch(const std::string& text, int mode) {
  String command(text.c_str());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(1, CommandLunch(command, mode)) << text;
  const auto took = std::chrono::steady_clock::now() - start;
  return std::chrono::duration_cast<std::chrono::milliseconds>(took).count();
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

class ProcessToolsTest : public ::testing::Test {
 protected:
  void SetUp() override { log = CapturingLogDevice::Install(LogServer::Instance()); }
  void TearDown() override {
    LogServer::DeleteInstance();
    TlConfigurationGlobal::DeleteInstance();
  }

  std::shared_ptr<CapturingLogDevice::Log> log;
};

TEST_F(ProcessToolsTest, LaunchAnswersOneWhateverTheCommandAndWaitsOnlyInForeground) {
  struct {
    const char* command;
    int mode;
    long minMs, maxMs;
  } const cases[] = {
      {"sleep 1", 1, 900, 1900}, {"exit 3", 1, 0, 900}, {"", 1, 0, 900}, {"", 0, 0, 900}};
  StderrCapture shellComplaints;  // the shell refuses "()&"
  for (const auto& c : cases) {
    const long ms = MsToLaunch(c.command, c.mode);
    EXPECT_GE(ms, c.minMs) << c.command;
    EXPECT_LT(ms, c.maxMs) << c.command;
  }
  EXPECT_EQ(0u, log->Count());
}

TEST_F(ProcessToolsTest, BackgroundCommandRunsOnAfterLaunchReturns) {
  TempDir dir;
  EXPECT_LT(MsToLaunch("sleep 5 </dev/null >/dev/null 2>&1 & echo $! > " + dir.Join("pid"), 0),
            900);
  std::string pid = ReadAll(dir.Join("pid"));
  for (int tries = 0; tries < 200 && pid.find('\n') == std::string::npos; ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    pid = ReadAll(dir.Join("pid"));
  }
  ASSERT_NE(std::string::npos, pid.find('\n'));
  EXPECT_EQ(1, CheckPID(std::stoi(pid)));
  kill(std::stoi(pid), SIGKILL);
}

TEST_F(ProcessToolsTest, CommandInheritsNoDescriptorAboveTwo) {
  int pipeEnds[2];
  ASSERT_EQ(0, pipe(pipeEnds));
  const int high = fcntl(pipeEnds[0], F_DUPFD, 100);
  ASSERT_GE(high, 100);

  // The shell reads its own descriptor list while expanding "*", with the
  // lowest free number: so "0 1 2 3" means nothing else came through.
  TempDir dir;
  MsToLaunch("cd /proc/$$/fd && set -- * && echo \"$@\" > " + dir.Join("fds"), 1);
  EXPECT_EQ("0 1 2 3\n", ReadAll(dir.Join("fds")));
  for (int fd : {pipeEnds[0], pipeEnds[1], high}) {
    close(fd);
  }
}

TEST_F(ProcessToolsTest, CheckPIDTellsLiveProcessesFromGoneOnes) {
  EXPECT_EQ(getpid(), GetPID());
  EXPECT_EQ(1, CheckPID(GetPID()));
  const pid_t child = fork();
  if (child == 0) {
    _exit(0);
  }
  ASSERT_EQ(child, waitpid(child, nullptr, 0));
  EXPECT_EQ(0, CheckPID(child));
  // kill(…, 0) would find the process groups these name.
  EXPECT_EQ(0, CheckPID(0));
  EXPECT_EQ(0, CheckPID(-1));
}

TEST_F(ProcessToolsTest, CheckPIDCountsProcessOfAnotherUserAsAlive) {
  if (kill(1, 0) == 0) {
    GTEST_SKIP() << "this user may signal process 1 (root, or its owner): no process of "
                    "another user at hand";
  }
  ASSERT_EQ(EPERM, errno);
  EXPECT_EQ(1, CheckPID(1));
}

TEST_F(ProcessToolsTest, KillProcessKillsASleepingChild) {
  const pid_t child = fork();
  if (child == 0) {
    for (;;) {
      pause();
    }
  }
  ASSERT_GT(child, 0);
  EXPECT_EQ(1, KillProcess(child));
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
  EXPECT_EQ(0u, log->Count());
}
