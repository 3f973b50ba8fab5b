#include <sys/mman.h>

#include "CriticalSection.h"
#include "Platform.h"
#include "SignalHandler.h"
#include "Sleep.h"
#include "StderrCapture.h"
#include "TaskEvent.h"
#include "TaskMutex.h"
#include "ThreadLauncher.h"

#if defined(__SANITIZE_THREAD__)
// ThreadSanitizer counts a thread as inside a signal handler until it returns; SEGVfunc's
// exception never returns, so the launched thread's last allocations look signal-unsafe.
extern "C" const char* __tsan_default_suppressions();
extern "C" const char* __tsan_default_suppressions() { return "signal:ThreadStartRoutine\n"; }
#endif

namespace {

// What a launched routine saw. The routine signals `ran` last and touches
// nothing afterwards, so the probe may go away once Wait has returned.
struct Probe {
  TaskEvent ran;
  unsigned threadId = 0;
  sigset_t mask;
  volatile int* page = nullptr;  // no access allowed: writing it is a real fault
};

void Record(void* arg) {
  Probe* probe = static_cast<Probe*>(arg);
  probe->threadId = ThreadLauncher::GetCurrentThreadNumericId();
  pthread_sigmask(SIG_BLOCK, nullptr, &probe->mask);
  probe->ran.Signal();
}

void RegisterSEGVfuncAndFault(void* arg) {
  Probe* probe = static_cast<Probe*>(arg);
  SignalHandler handler(SIGSEGV, SEGVfunc);
  probe->threadId = Platform::getCurrentThreadId();
  probe->ran.Signal();
  *probe->page = 1;
  ADD_FAILURE() << "the fault did not end the routine";
}

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

}  // namespace

TEST(PlatformTest, IsValidIpAcceptsWhatInetAddrAccepts) {
  EXPECT_TRUE(Platform::isValidIp("192.168.1.10"));
  for (const char* text : {"localhost", "255.255.255.255", "256.1.1.1", "1.2.3.4.5", ""}) {
    EXPECT_FALSE(Platform::isValidIp(text)) << text;
  }
  EXPECT_FALSE(Platform::isValidIp(nullptr));
}

TEST(SleepTest, ZeroReturnsAtOnceAndOtherwiseSleepsAtLeastTheTime) {
  for (unsigned ms : {0u, 1050u}) {  // 1050 splits into seconds and nanoseconds
    const auto start = std::chrono::steady_clock::now();
    Sleep(ms);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(ms));
    EXPECT_LT(elapsed, std::chrono::milliseconds(ms == 0 ? 20 : ms + 1000));
  }
}

// Each event's timed wait is measured on the clock its deadline is set on:
// where the time of day is slewed against the steady clock (0.5 % on one test
// host), a wait measured on the other clock seems to end early or late.
// 950 ms carries into the next second almost every time.
TEST(TaskEventTest, OneSignalWakesOneWaitAndAnUnsignalledWaitTimesOutOnItsClock) {
  for (TaskEvent::Clock clock : {TaskEvent::Clock::TimeOfDay, TaskEvent::Clock::Steady}) {
    SCOPED_TRACE(clock == TaskEvent::Clock::Steady ? "steady" : "time of day");
    const auto nowMs = [clock] {
      const auto now = clock == TaskEvent::Clock::Steady
                           ? std::chrono::steady_clock::now().time_since_epoch()
                           : std::chrono::system_clock::now().time_since_epoch();
      return std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
    };
    TaskEvent event(clock);
    ASSERT_EQ(0, event.Signal());
    ASSERT_EQ(0, event.Signal());  // signals do not add up
    EXPECT_EQ(0, event.Wait(100));
    const auto start = nowMs();
    EXPECT_EQ(TaskEvent::kTimedOut, event.Wait(950));
    EXPECT_GE(nowMs() - start, 949);
    EXPECT_LT(nowMs() - start, 1950);
    for (int forever : {0, -1}) {
      std::atomic<bool> signalling{false};
      std::thread signaller([&] {
        Sleep(150);
        signalling = true;
        event.Signal();
      });
      EXPECT_EQ(0, event.Wait(forever));
      EXPECT_TRUE(signalling);
      signaller.join();
    }
  }
}

TEST(TaskMutexTest, CriticalSectionSerialisesIncrementsFromManyThreads) {
  TaskMutex mutex;
  long counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&mutex, &counter] {
      for (int i = 0; i < 100000; ++i) {
        CriticalSection lock(&mutex);
        ++counter;
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(400000, counter);
}

TEST(ThreadLauncherTest, RoutineRunsOnItsOwnThreadWithEveryNonReservedSignalBlocked) {
  ThreadLauncher launcher;
  Probe probe;
  EXPECT_EQ(2, launcher.Create(nullptr, &probe));
  ASSERT_EQ(0, launcher.Create(Record, &probe));
  ASSERT_EQ(0, probe.ran.Wait(2000));
  Probe undetached;  // runs all the same, on the record it was given
  ThreadLauncher::_TestAPI_FailNextDetach();
  EXPECT_EQ(ThreadLauncher::kDetachFailed, launcher.Create(Record, &undetached));
  EXPECT_EQ(0, undetached.ran.Wait(2000));
  EXPECT_NE(ThreadLauncher::GetCurrentThreadNumericId(), probe.threadId);
  // Faults stay open: they only ever reach the faulting thread. 32 and 33 belong to the C library.
  for (int s = 1; s <= SIGRTMAX; s = s == 31 ? SIGRTMIN : s + 1) {
    const bool fault = s == SIGSEGV || s == SIGBUS || s == SIGFPE || s == SIGILL;
    EXPECT_EQ(SignalHandler::catchable(s) && !fault, sigismember(&probe.mask, s) == 1) << s;
  }
}

TEST(SignalHandlerTest, HandlerRegistersForItsOwnThreadOnlyAndNeverForAReservedSignal) {
  EXPECT_FALSE(SignalHandler::catchable(SIGKILL) || SignalHandler::catchable(NSIG));
  const unsigned mainThread = Platform::getCurrentThreadId();
  StderrCapture capture;
  std::thread([mainThread] {
    SignalHandler::Initialize();
    {
      SignalHandler taker(SIGUSR2, SignalHandler::AbendOnSignal);
      SignalHandler reserved(SIGALRM, SignalHandler::AbendOnSignal);
      EXPECT_EQ(&taker, Lookup(SIGUSR2));
      EXPECT_EQ(nullptr, Lookup(SIGUSR2, mainThread));
      EXPECT_EQ(nullptr, Lookup(SIGALRM));
      EXPECT_FALSE(Blocked(SIGUSR2));
      reserved.enable();
    }
    EXPECT_TRUE(Blocked(SIGUSR2));
    EXPECT_EQ(nullptr, Lookup(SIGUSR2));
  }).join();
  const std::string alrm = std::to_string(SIGALRM);
  EXPECT_EQ("Attempt to handle an uncatchable signal" + alrm +
                "\nBlatantly refusing to enable signal " + alrm + "\n",
            capture.Stop());
}

// The dispatch pauses a second after each trace line: this test takes two.
TEST(SignalHandlerTest, FaultOnThreadWithSEGVfuncEndsOnlyThatThreadAfterTheTraceLines) {
  void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(MAP_FAILED, page);
  Probe probe;
  probe.page = static_cast<volatile int*>(page);
  StderrCapture capture;
  ThreadLauncher launcher;
  ASSERT_EQ(0, launcher.Create(RegisterSEGVfuncAndFault, &probe));
  ASSERT_EQ(0, probe.ran.Wait(5000));
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
