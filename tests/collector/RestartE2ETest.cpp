// End-to-end: the real vigild restarts one process without holding up the
// judgement of the others. A stop command that hangs delays no other item,
// and a process that beats every second is never stopped while others are
// restarted.
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "TempDir.h"
#include "TestSockets.h"
#include "TestWaits.h"
#include "gtest/gtest.h"

namespace {

using Clock = std::chrono::steady_clock;

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

void Send(int fd, const std::string& text) {
  ASSERT_EQ(send(fd, text.data(), text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(text.size()));
}

bool Alive(const std::string& pid) { return kill(std::stoi(pid), 0) == 0; }

// A watch order; extra holds the limit lines.
std::string Watch(const std::string& pid, const std::string& name, const std::string& stop,
                  const std::string& extra) {
  return "BEGINWATCH\npid: " + pid + "\npsname: " + name + "\npsstop: " + stop +
         "\npsstart: \n" + extra + "END;\n";
}

std::string Beat(const std::string& pid, int wset = 0) {
  return "BEGINMSG\npid: " + pid + "\npswset: " + std::to_string(wset) + "\nEND;\n";
}

// A working-set limit of 100 that the next heartbeat passes: wrong at the next pass.
void SendOverLimit(int fd, const std::string& pid, const std::string& name,
                   const std::string& stop) {
  Send(fd, Watch(pid, name, stop, "maxwset: 100\n") + Beat(pid, 500));
}

class RestartE2ETest : public ::testing::Test {
 protected:
  RestartE2ETest() : port(FreePort()) {
    mkdir(home.Join("log").c_str(), 0755);
    mkdir(home.Join("conf").c_str(), 0755);
    daemon = SpawnClean({VIGILD_BINARY, "-P", std::to_string(port), "-D", "5"},
                        {"TLMHOME=" + home.path()}, home.Join("stdout"), home.Join("stderr"));
  }
  ~RestartE2ETest() override {
    EXPECT_FALSE(Has(ReadAll(home.Join("stderr")), "Sanitizer"));
    kill(daemon, SIGKILL);
    waitpid(daemon, nullptr, 0);
    for (const std::string& pid : started) {
      kill(std::stoi(pid), SIGKILL);
    }
    const std::string hung = ReadAll(home.Join("hung.pid"));
    if (!hung.empty()) {
      kill(std::stoi(hung), SIGKILL);
    }
  }

  int Connect() {
    int fd = -1;
    WaitUntil([&] { return (fd = ConnectTcp(port)) >= 0; }, 10000);
    return fd;
  }
  // The pid of a detached `sleep 300`, which init reaps once it is killed.
  std::string DetachedSleep() {
    const std::string file = home.Join("sleep.pid");
    unlink(file.c_str());
    if (system(("(sleep 300 & echo $! > " + file + ")").c_str()) != 0) {
      return "";
    }
    std::string pid;
    WaitUntil([&] { return (pid = ReadAll(file)).size() > 1; }, 5000);
    if (!pid.empty()) {
      pid.pop_back();
      started.push_back(pid);
    }
    return pid;
  }
  std::string Out() const { return ReadAll(home.Join("stdout")) + ReadAll(home.Join("stderr")); }

  TempDir home;
  const int port;
  pid_t daemon = -1;
  std::vector<std::string> started;
};

}  // namespace

// The first item's stop command never returns and leaves its process alive, so its sequence
// sits in the grace wait; a second item that falls silent meanwhile still has its stop
// command within wdfreq + 2 s of its last heartbeat.
TEST_F(RestartE2ETest, AStopCommandThatHangsDelaysNoOtherItemsJudgement) {
  const int fd = Connect();
  ASSERT_GE(fd, 0);
  const std::string hung = DetachedSleep(), silent = DetachedSleep();
  ASSERT_FALSE(hung.empty() || silent.empty());
  SendOverLimit(fd, hung, "hung",
                "sh -c 'echo $$ > " + home.Join("hung.pid") + "; exec sleep 100'");
  ASSERT_TRUE(WaitUntil([&] { return ReadAll(home.Join("hung.pid")).size() > 1; }, 10000))
      << Out();
  constexpr int kWdFreq = 2;
  Send(fd, Watch(silent, "silent", "kill " + silent, "wdfreq: " + std::to_string(kWdFreq) + "\n"));
  Send(fd, Beat(silent));
  const auto lastBeat = Clock::now();
  // Its stop command ends it; a second more for a loaded machine to run it.
  EXPECT_TRUE(WaitUntil([&] { return !Alive(silent); }, 20000)) << Out();
  EXPECT_LT(Clock::now() - lastBeat, std::chrono::seconds(kWdFreq + 2 + 1));
  EXPECT_TRUE(Alive(hung)) << "the hung item is still in its grace wait";
  EXPECT_TRUE(Has(Out(), "process #" + silent + " silent, failed to reset watchdog")) << Out();
  close(fd);
}

// Three processes are restarted one after another, each with its 10 s pause, while a process
// with a higher pid (judged after them in every pass) beats every second: it is never stopped.
TEST_F(RestartE2ETest, AProcessBeatingEverySecondIsNeverStoppedDuringOthersRestarts) {
  std::vector<std::string> flaky;
  for (int i = 0; i < 3; ++i) {
    flaky.push_back(DetachedSleep());
    ASSERT_FALSE(flaky.back().empty());
  }
  const std::string steady = DetachedSleep();
  ASSERT_FALSE(steady.empty());
  const std::string stoppedMark = home.Join("steady-stopped");
  const int beats = Connect();
  ASSERT_GE(beats, 0);
  Send(beats, Watch(steady, "steady", "touch " + stoppedMark, "wdfreq: 2\n"));
  std::atomic<bool> done{false};
  std::thread beating([&] {
    while (!done.load()) {
      Send(beats, Beat(steady));
      std::this_thread::sleep_for(std::chrono::seconds(1));
    }
  });
  const int orders = Connect();
  ASSERT_GE(orders, 0);
  for (const std::string& pid : flaky) {
    SendOverLimit(orders, pid, "flaky", "kill " + pid);
    EXPECT_TRUE(WaitUntil([&] { return !Alive(pid); }, 10000)) << Out();
    std::this_thread::sleep_for(std::chrono::seconds(3));  // into its pause
  }
  // The last one's pause, and the passes after it.
  EXPECT_TRUE(WaitUntil(
      [&] {
        const std::string out = Out();
        size_t starts = 0;
        for (size_t at = out.find("Starting new Process"); at != out.npos;
             at = out.find("Starting new Process", at + 1)) {
          ++starts;
        }
        return starts == flaky.size();
      },
      20000))
      << Out();
  std::this_thread::sleep_for(std::chrono::seconds(2));
  done = true;
  beating.join();
  EXPECT_TRUE(Alive(steady));
  EXPECT_FALSE(Has(Out(), "process #" + steady + " steady")) << Out();
  EXPECT_EQ(ReadAll(stoppedMark), "");
  EXPECT_EQ(access(stoppedMark.c_str(), F_OK), -1);
  close(beats);
  close(orders);
}
