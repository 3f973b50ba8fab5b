#include <errno.h>

#include "CapturingLogDevice.h"
#include "ChildProcess.h"
#include "LogServer.h"
#include "SigHandle.h"
#include "StderrCapture.h"
#include "TestCommon.h"
#include "TlConfigurationGlobal.h"

namespace {

volatile sig_atomic_t handledSignal = 0;

void RecordSignal(int signal) { handledSignal = signal; }

// The calls that succeed set up what the end of the test checks; a Mask
// that did not block would let the raised signal kill the test.
TEST(SigHandleTest, EachCallTakesEffectLogsItsIntentAndReportsFailures) {
  const auto log = CapturingLogDevice::Install(LogServer::Instance());
  LogServer::Instance()->setAcceptSeverityUpTo(Debug2);
  using S = SigHandle;
  sigset_t saved, usr2, both;
  sigemptyset(&usr2);
  sigaddset(&usr2, SIGUSR2);
  both = usr2;
  sigaddset(&both, SIGUSR1);
  pthread_sigmask(SIG_SETMASK, nullptr, &saved);
  int received = 0;
  struct {
    std::function<int()> call;
    std::string info, error, perror;  // error, perror: empty when the call succeeds
  } const cases[] = {
      {[] { return S::Ignore(SIGCHLD); }, "Ignore] INFO : signum 17", "", ""},
      {[&] { return S::Handle(SIGTERM, RecordSignal, &usr2); }, "Handle] INFO : signum 15", "", ""},
      {[] { return S::Mask(SIGUSR1); }, "Mask] INFO : signum 10", "", ""},
      {[&] { return S::Mask(usr2); }, "Mask] INFO : sigset_t", "", ""},
      {[&] { return raise(SIGUSR1) + S::Wait(SIGUSR1, received); }, "Wait] INFO : signum 10", "",
       ""},
      {[&] { return raise(SIGUSR2) + S::Wait(both, received); }, "Wait] INFO : sigset_t ", "", ""},
      {[] { return S::Ignore(SIGKILL); }, "Ignore] INFO : signum 9", "Ignore 9", " sigaction"},
      {[] { return S::Default(SIGSTOP); }, "Default] INFO : signum 19", "Default 19", "sigaction"},
      {[] { return S::Handle(SIGKILL, RecordSignal, nullptr); }, "Handle] INFO : signum 9",
       "sigaction 22", "sigaction"},
      {[] { return S::Mask(0); }, "Mask] INFO : signum 0", "", "sigaddset"},
      {[&] { return S::Wait(0, received); }, "Wait] INFO : signum 0", "", "sigaddset"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.info);
    log->Clear();
    StderrCapture capture;
    EXPECT_EQ(c.perror.empty() ? 1 : 0, c.call());
    EXPECT_EQ(c.perror.empty() ? "" : c.perror + ": " + strerror(EINVAL) + "\n", capture.Stop());
    std::string logged;
    for (const auto& r : log->Records()) {
      logged += std::string(LogSeverityName(r.severity)) + " " + r.code + " " + r.tag + " " +
                r.message + "\n";
    }
    // A record without a tag of its own has its "[Routine]" split off.
    const std::string info = "Debug2  [SigHandle::" + c.info + "\n";
    const std::string error = "Warning DL30102 GENERIC [SigHandle] ERROR : " + c.error + "\n";
    EXPECT_EQ(c.error.empty() ? info : info + error, logged);
  }
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  EXPECT_EQ(SIGUSR2, received);  // Wait took the pending signals one by one
  struct sigaction now;
  sigaction(SIGTERM, nullptr, &now);
  EXPECT_EQ(1, sigismember(&now.sa_mask, SIGUSR2));
  raise(SIGTERM);
  EXPECT_EQ(SIGTERM, handledSignal);
  const pid_t child = SpawnClean({"/bin/true"}, {}, "/dev/null", "/dev/null");
  EXPECT_EQ(-1, waitpid(child, nullptr, 0));  // ignored SIGCHLD: it vanished unwaited
  EXPECT_EQ(ECHILD, errno);
  ASSERT_EQ(2, SigHandle::Default(SIGCHLD) + SigHandle::Default(SIGTERM));
  sigaction(SIGCHLD, nullptr, &now);
  EXPECT_TRUE(now.sa_handler == SIG_DFL && (now.sa_flags & SA_NOCLDWAIT) == 0);
  LogServer::DeleteInstance();
  TlConfigurationGlobal::DeleteInstance();
}

}  // namespace
