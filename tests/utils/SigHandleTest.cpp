#include <errno.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>

#include "CapturingLogDevice.h"
#include "LogServer.h"
#include "SigHandle.h"
#include "StderrCapture.h"
#include "TlConfigurationGlobal.h"

namespace {

volatile sig_atomic_t handledSignal = 0;

void RecordSignal(int signal) { handledSignal = signal; }

// Whether the action installed for signal blocks other while it runs.
bool ActionBlocks(int signal, int other) {
  struct sigaction now;
  sigaction(signal, nullptr, &now);
  return sigismember(&now.sa_mask, other) == 1;
}

bool Blocked(int signal) {
  sigset_t mask;
  pthread_sigmask(SIG_BLOCK, nullptr, &mask);
  return sigismember(&mask, signal) == 1;
}

sigset_t SetOf(std::initializer_list<int> signals) {
  sigset_t set;
  sigemptyset(&set);
  for (int s : signals) {
    sigaddset(&set, s);
  }
  return set;
}

// The record's text as it was logged: a record without a tag of its own
// has its "[Routine]" split off by the capture.
std::string Text(const CapturingLogDevice::Captured& record) {
  return record.tag == "GENERIC" ? record.message : record.tag + " " + record.message;
}

}  // namespace

class SigHandleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log = CapturingLogDevice::Install(LogServer::Instance());
    LogServer::Instance()->setAcceptSeverityUpTo(Debug2);
  }
  void TearDown() override {
    LogServer::DeleteInstance();
    TlConfigurationGlobal::DeleteInstance();
  }

  std::shared_ptr<CapturingLogDevice::Log> log;
};

TEST_F(SigHandleTest, IgnoredSigchldLetsChildrenVanishUnwaitedUntilDefaultIsBack) {
  ASSERT_EQ(1, SigHandle::Ignore(SIGCHLD));
  struct sigaction now;
  sigaction(SIGCHLD, nullptr, &now);
  EXPECT_NE(0, now.sa_flags & SA_NOCLDWAIT);
  pid_t child = fork();
  if (child == 0) {
    _exit(0);
  }
  int status = 0;
  EXPECT_EQ(-1, waitpid(child, &status, 0));
  EXPECT_EQ(ECHILD, errno);
  ASSERT_EQ(1, SigHandle::Default(SIGCHLD));
  child = fork();
  if (child == 0) {
    _exit(3);
  }
  ASSERT_EQ(child, waitpid(child, &status, 0));
  EXPECT_EQ(3, WEXITSTATUS(status));
}

TEST_F(SigHandleTest, HandleRoutesSignalToFunctionWithTheGivenMask) {
  sigset_t usr2 = SetOf({SIGUSR2});
  ASSERT_EQ(1, SigHandle::Handle(SIGTERM, RecordSignal, &usr2));
  ASSERT_EQ(1, SigHandle::Handle(SIGINT, RecordSignal, nullptr));
  EXPECT_TRUE(ActionBlocks(SIGTERM, SIGUSR2));
  EXPECT_FALSE(ActionBlocks(SIGINT, SIGUSR2));
  raise(SIGTERM);
  EXPECT_EQ(SIGTERM, handledSignal);
  raise(SIGINT);
  EXPECT_EQ(SIGINT, handledSignal);
  EXPECT_EQ(1, SigHandle::Default(SIGTERM));
  EXPECT_EQ(1, SigHandle::Default(SIGINT));
}

TEST_F(SigHandleTest, MaskBlocksAndWaitTakesThePendingSignal) {
  sigset_t saved;
  pthread_sigmask(SIG_SETMASK, nullptr, &saved);
  ASSERT_EQ(1, SigHandle::Mask(SIGUSR1));
  ASSERT_EQ(1, SigHandle::Mask(SetOf({SIGUSR2})));
  EXPECT_TRUE(Blocked(SIGUSR1));
  EXPECT_TRUE(Blocked(SIGUSR2));
  int received = 0;
  raise(SIGUSR1);
  EXPECT_EQ(1, SigHandle::Wait(SIGUSR1, received));
  EXPECT_EQ(SIGUSR1, received);
  raise(SIGUSR2);
  EXPECT_EQ(1, SigHandle::Wait(SetOf({SIGUSR1, SIGUSR2}), received));
  EXPECT_EQ(SIGUSR2, received);
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  ASSERT_EQ(4u, log->Count());
  EXPECT_EQ("[SigHandle::Wait] INFO : sigset_t ", Text(log->Records()[3]));
}

TEST_F(SigHandleTest, EachCallLogsItsIntentAndFailuresAsFlushedWarnings) {
  const std::string invalid = std::string(": ") + strerror(EINVAL) + "\n";
  int received = 0;
  struct {
    std::function<int()> call;
    std::string info;
    std::string error;    // empty: no warning
    std::string printed;  // perror's line
  } const cases[] = {
      {[] { return SigHandle::Ignore(SIGUSR1); }, "[SigHandle::Ignore] INFO : signum 10", "", ""},
      {[] { return SigHandle::Default(SIGUSR1); }, "[SigHandle::Default] INFO : signum 10", "", ""},
      {[] { return SigHandle::Mask(SetOf({})); }, "[SigHandle::Mask] INFO : sigset_t", "", ""},
      {[] { return SigHandle::Ignore(SIGKILL); }, "[SigHandle::Ignore] INFO : signum 9",
       "[SigHandle] ERROR : Ignore 9", " sigaction" + invalid},
      {[] { return SigHandle::Default(SIGSTOP); }, "[SigHandle::Default] INFO : signum 19",
       "[SigHandle] ERROR : Default 19", "sigaction" + invalid},
      {[] { return SigHandle::Handle(SIGKILL, RecordSignal, nullptr); },
       "[SigHandle::Handle] INFO : signum 9", "[SigHandle] ERROR : sigaction 22",
       "sigaction" + invalid},
      {[] { return SigHandle::Mask(0); }, "[SigHandle::Mask] INFO : signum 0", "",
       "sigaddset" + invalid},
      {[&received] { return SigHandle::Wait(0, received); }, "[SigHandle::Wait] INFO : signum 0",
       "", "sigaddset" + invalid},
  };
  for (const auto& c : cases) {
    log->Clear();
    StderrCapture capture;
    EXPECT_EQ(c.printed.empty() ? 1 : 0, c.call()) << c.info;
    EXPECT_EQ(c.printed, capture.Stop()) << c.info;
    const auto records = log->Records();
    ASSERT_EQ(c.error.empty() ? 1u : 2u, records.size()) << c.info;
    EXPECT_EQ(Debug2, records[0].severity);
    EXPECT_EQ("", records[0].code);
    EXPECT_EQ(c.info, Text(records[0]));
    if (!c.error.empty()) {
      EXPECT_EQ(Warning, records[1].severity);
      EXPECT_EQ("DL30102", records[1].code);
      EXPECT_EQ("GENERIC", records[1].tag);
      EXPECT_EQ(c.error, records[1].message);
      EXPECT_TRUE(records[1].flush);
    }
  }
}
