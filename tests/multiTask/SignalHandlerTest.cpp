#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "Platform.h"
#include "SignalHandler.h"
#include "Sleep.h"
#include "StderrCapture.h"
#include "TaskEvent.h"
#include "ThreadLauncher.h"

#if defined(__SANITIZE_THREAD__)
// ThreadSanitizer counts a thread as inside a signal handler until the handler
// returns. SEGVfunc's exception leaves it without returning, so every later
// allocation on that launched thread, the exception's own included, would be
// reported as a signal-unsafe call although the thread is only ending.
extern "C" const char* __tsan_default_suppressions();
extern "C" const char* __tsan_default_suppressions() { return "signal:ThreadStartRoutine\n"; }
#endif

namespace {

bool Blocked(int signal) {
  sigset_t mask;
  pthread_sigmask(SIG_BLOCK, nullptr, &mask);
  return sigismember(&mask, signal) == 1;
}

void (*Disposition(int signal))(int) {
  struct sigaction current;
  sigaction(signal, nullptr, &current);
  return current.sa_handler;
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

bool WaitForThreadEnd(unsigned thread) {
  const std::string task = "/proc/self/task/" + std::to_string(thread);
  for (int i = 0; i < 500 && access(task.c_str(), F_OK) == 0; ++i) {
    Sleep(10);
  }
  return access(task.c_str(), F_OK) != 0;
}

void CoreWithoutDumpFile() {
  const rlimit noCore = {0, 0};
  setrlimit(RLIMIT_CORE, &noCore);
  SignalHandler aborter(SIGUSR1, SignalHandler::CoreOnSignal);
  aborter.handler()(&aborter);
}

}  // namespace

TEST(SignalHandlerTest, ReservedAndUncatchableSignalsAreNotCatchable) {
  const int* reserved = Platform::reservedSignals();
  EXPECT_EQ(SIGALRM, reserved[0]);
  int last = 0;
  for (const int* s = reserved; *s != 0; ++s) {
    EXPECT_FALSE(SignalHandler::catchable(*s)) << *s;
    last = *s;
  }
  EXPECT_EQ(SIGTRAP, last);
  for (int s : {SIGKILL, SIGSTOP, 0, -1, NSIG}) {
    EXPECT_FALSE(SignalHandler::catchable(s)) << s;
  }
  for (int s : {SIGTERM, SIGINT, SIGSEGV, SIGUSR1, SIGCHLD, SIGRTMIN, SIGRTMAX}) {
    EXPECT_TRUE(SignalHandler::catchable(s)) << s;
  }
}

TEST(SignalHandlerTest, UncatchableSignalIsRefusedWithAMessageAndRegistersNothing) {
  const auto before = Disposition(SIGALRM);
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
  EXPECT_EQ(before, Disposition(SIGALRM));
}

TEST(SignalHandlerTest, HandlerObjectRegistersForItsOwnThreadAndBlockSignalObjectBlocksInstead) {
  std::string text;
  std::thread([&text] {
    sigset_t none;
    sigemptyset(&none);
    pthread_sigmask(SIG_SETMASK, &none, nullptr);
    SignalHandler blocker(SIGUSR1, SignalHandler::BlockSignal);
    EXPECT_TRUE(Blocked(SIGUSR1));
    EXPECT_EQ(nullptr, Lookup(SIGUSR1));
    SignalHandler::Initialize();
    {
      SignalHandler taker(SIGUSR2, SignalHandler::AbendOnSignal);
      EXPECT_EQ(&taker, Lookup(SIGUSR2));
      EXPECT_FALSE(Blocked(SIGUSR2));
      EXPECT_NE(SIG_DFL, Disposition(SIGUSR2));
    }
    EXPECT_TRUE(Blocked(SIGUSR2));
    EXPECT_EQ(nullptr, Lookup(SIGUSR2));
    StderrCapture capture;
    blocker.handler()(&blocker);
    text = capture.Stop();
  }).join();
  EXPECT_EQ("Blocked Signal " + std::to_string(SIGUSR1) + " not actually blocked!\n", text);
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
  const unsigned id = probe.threadId;
  ASSERT_TRUE(WaitForThreadEnd(id));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1900));
  const std::string thread = std::to_string(id);
  EXPECT_EQ("Received signal 11 on thread " + thread + "\nCalling handler in thread " + thread +
                "\nDefault SIGSEGV handler invoked!  Throwing exception.\n"
                "Caught SignalException!  Terminating thread " +
                thread + "\n",
            capture.Stop());
  EXPECT_EQ(nullptr, Lookup(SIGSEGV, id));  // the handler object was destroyed
  munmap(page, 4096);
}

TEST(SignalHandlerTest, ProcessEndsWithSignalPlus100OnThreadWithoutHandlerAndAbortsOnCore) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        SignalHandler mainOnly(SIGUSR1, SEGVfunc);
        std::thread([] { SignalHandler::raise(SIGUSR1); }).join();
      },
      testing::ExitedWithCode(SIGUSR1 + 100),
      "Received signal 10 on thread [0-9]+\nThread [0-9]+ does not handle signal 10\n"
      "Abnormal termination due to signal 10\n");
  EXPECT_EXIT(CoreWithoutDumpFile(), testing::KilledBySignal(SIGABRT), "");
}
