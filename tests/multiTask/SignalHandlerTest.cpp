#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "Platform.h"
#include "SignalHandler.h"
#include "StderrCapture.h"
#include "TaskEvent.h"
#include "TestWaits.h"
#include "ThreadLauncher.h"

#if defined(__SANITIZE_THREAD__)
// ThreadSanitizer counts a thread as inside a signal handler until it returns; SEGVfunc's
// exception never returns, so the launched thread's last allocations look signal-unsafe.
extern "C" const char* __tsan_default_suppressions();
extern "C" const char* __tsan_default_suppressions() { return "signal:ThreadStartRoutine\n"; }
#endif

namespace {

bool Blocked(int signal) {
  sigset_t mask;
  pthread_sigmask(SIG_BLOCK, nullptr, &mask);
  return sigismember(&mask, signal) == 1;
}

// What the dispatch routine would find; null when nothing is registered.
const SignalHandler* Lookup(int signal, unsigned thread = Platform::getCurrentThreadId()) {
  const SignalHandler* found = nullptr;
  return Platform::lookupHandler(thread, signal, found) ? found : nullptr;
}

struct FaultProbe {
  volatile int* page;  // no access allowed: writing it is a real fault
  unsigned threadId = 0;
  TaskEvent registered;
};

void RegisterSEGVfuncAndFault(void* arg) {
  FaultProbe* probe = static_cast<FaultProbe*>(arg);
  SignalHandler handler(SIGSEGV, SEGVfunc);
  probe->threadId = Platform::getCurrentThreadId();
  probe->registered.Signal();
  *probe->page = 1;
  ADD_FAILURE() << "the fault did not end the routine";
}

}  // namespace

TEST(SignalHandlerTest, ReservedAndUncatchableSignalsAreRefusedWithAMessageAndRegisterNothing) {
  EXPECT_FALSE(SignalHandler::catchable(SIGKILL) || SignalHandler::catchable(NSIG));
  StderrCapture capture;
  {
    SignalHandler handler(SIGALRM, SignalHandler::AbendOnSignal);
    EXPECT_EQ(nullptr, Lookup(SIGALRM));
    handler.enable();
  }
  const std::string alrm = std::to_string(SIGALRM);
  EXPECT_EQ("Attempt to handle an uncatchable signal" + alrm +
                "\nBlatantly refusing to enable signal " + alrm + "\n",
            capture.Stop());
}

TEST(SignalHandlerTest, HandlerObjectRegistersForItsOwnThreadAndUnblocksTheSignalThere) {
  const unsigned mainThread = Platform::getCurrentThreadId();
  std::thread([mainThread] {
    SignalHandler::Initialize();
    {
      SignalHandler taker(SIGUSR2, SignalHandler::AbendOnSignal);
      EXPECT_EQ(&taker, Lookup(SIGUSR2));
      EXPECT_EQ(nullptr, Lookup(SIGUSR2, mainThread));
      EXPECT_FALSE(Blocked(SIGUSR2));
    }
    EXPECT_TRUE(Blocked(SIGUSR2));
    EXPECT_EQ(nullptr, Lookup(SIGUSR2));
  }).join();
}

// The dispatch pauses a second after each trace line: this test takes two.
TEST(SignalHandlerTest, FaultOnThreadWithSEGVfuncEndsOnlyThatThreadAfterTheTraceLines) {
  void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(MAP_FAILED, page);
  FaultProbe probe;
  probe.page = static_cast<volatile int*>(page);
  StderrCapture capture;
  ThreadLauncher launcher;
  ASSERT_EQ(0, launcher.Create(RegisterSEGVfuncAndFault, &probe));
  ASSERT_EQ(0, probe.registered.Wait(5000));
  const auto start = std::chrono::steady_clock::now();
  const std::string thread = std::to_string(probe.threadId);
  const std::string task = "/proc/self/task/" + thread;
  ASSERT_TRUE(WaitUntil([&] { return access(task.c_str(), F_OK) != 0; }, 5000));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1900));
  EXPECT_EQ("Received signal 11 on thread " + thread + "\nCalling handler in thread " + thread +
                "\nDefault SIGSEGV handler invoked!  Throwing exception.\n"
                "Caught SignalException!  Terminating thread " +
                thread + "\n",
            capture.Stop());
  EXPECT_EQ(nullptr, Lookup(SIGSEGV, probe.threadId));  // the handler object was destroyed
  munmap(page, 4096);
}

TEST(SignalHandlerTest, ProcessEndsWithSignalPlus100OnThreadWithoutHandler) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        SignalHandler mainOnly(SIGUSR1, SEGVfunc);
        std::thread([] { SignalHandler::raise(SIGUSR1); }).join();
      },
      testing::ExitedWithCode(SIGUSR1 + 100),
      "Received signal 10 on thread [0-9]+\nThread [0-9]+ does not handle signal 10\n"
      "Abnormal termination due to signal 10\n");
}
