// The three kinds of check against real local listeners and commands: what
// is healthy, what is not and why, and that no attempt outlasts its
// time-out, whatever the other side does.
#include <gtest/gtest.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "HealthCheck.h"
#include "ProgramRunner.h"
#include "TempDir.h"
#include "TestSockets.h"
#include "TestWaits.h"

namespace {

long NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// A tiny HTTP server on a loopback port. It answers one connection at a
// time with the answer its path names, and keeps the connections it never
// answers open until it goes.
class TinyServer {
 public:
  TinyServer() : fd(ListenOnLoopback(&port)), thread([this] { _Serve(); }) {}
  ~TinyServer() {
    done = true;
    thread.join();
    for (int held : kept) {
      close(held);
    }
    close(fd);
  }
  std::string LastRequest() {
    std::lock_guard<std::mutex> hold(mutex);
    return last;
  }
  int port = 0;

 private:
  void _Serve() {
    while (!done) {
      pollfd ready{fd, POLLIN, 0};
      if (poll(&ready, 1, 50) != 1) {
        continue;
      }
      const int connection = accept(fd, nullptr, nullptr);
      std::string request;
      char buffer[1024];
      pollfd incoming{connection, POLLIN, 0};
      while (request.find("\r\n\r\n") == std::string::npos && poll(&incoming, 1, 1000) == 1) {
        const ssize_t n = recv(connection, buffer, sizeof buffer, 0);
        if (n <= 0) {
          break;
        }
        request.append(buffer, static_cast<size_t>(n));
      }
      {
        std::lock_guard<std::mutex> hold(mutex);
        last = request;
      }
      const std::string path = request.substr(4, request.find(' ', 4) - 4);
      const auto say = [&](const std::string& text) {
        send(connection, text.data(), text.size(), MSG_NOSIGNAL);
      };
      if (path == "/ok") {
        say("HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n");
      } else if (path == "/moved") {
        say("HTTP/1.1 302 Found\r\nLocation: /ok\r\n\r\n");
      } else if (path == "/broken") {
        say("HTTP/1.1 500 Internal Server Error\r\n\r\n");
      } else if (path == "/missing") {
        say("HTTP/1.1 404 Not Found\r\n\r\n");
      } else if (path == "/garbage") {
        say(std::string("\x16\x03\x01\x00\xff binary\r\n", 14));
      } else if (path == "/wide") {
        say("HTTP/1.1 2000 OK\r\n\r\n");
      } else if (path == "/bare") {
        say("HTTP/1.1 204");
      } else if (path == "/split") {
        say("HTTP/1.1 2");
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        say("04 No Content\r\n\r\n");
      } else if (path == "/endless") {
        say(std::string(3 * HealthCheck::kMaxAnswer, 'A'));
        kept.push_back(connection);
        continue;
      } else if (path == "/slow") {
        kept.push_back(connection);
        continue;
      }
      close(connection);  // "/silent" too, without a word
    }
  }

  const int fd;
  std::atomic<bool> done{false};
  std::vector<int> kept;  // only the serving thread touches it until the join
  std::mutex mutex;       // guards last
  std::string last;
  std::thread thread;
};

// One attempt driven as the wrapper drives it: poll, then Step.
HealthCheck::Outcome Attempt(HealthCheck& check, long timeoutMs, long* elapsedMs) {
  const long begin = NowMs();
  check.Begin(begin, timeoutMs);
  HealthCheck::Outcome outcome = check.Step(NowMs());
  while (outcome == HealthCheck::kPending) {
    pollfd ready{check.Fd(), check.Events(), 0};
    poll(&ready, check.Fd() >= 0 ? 1 : 0, 10);
    outcome = check.Step(NowMs());
  }
  *elapsedMs = NowMs() - begin;
  EXPECT_FALSE(check.Running());
  return outcome;
}

HealthCheck::Target Target(const std::string& url) {
  HealthCheck::Target target;
  std::string error;
  EXPECT_TRUE(HealthCheck::Parse(url, &target, &error)) << url << ": " << error;
  return target;
}

}  // namespace

TEST(HealthCheckTest, HttpIsHealthyOnlyOnTwoOrThreeHundredsAndEveryOtherAnswerSaysWhy) {
  TinyServer server;
  const struct {
    const char* path;
    HealthCheck::Outcome outcome;
    const char* why;
  } cases[] = {
      {"/ok", HealthCheck::kHealthy, ""},
      {"/moved", HealthCheck::kHealthy, ""},
      {"/split", HealthCheck::kHealthy, ""},
      {"/bare", HealthCheck::kHealthy, ""},
      {"/broken", HealthCheck::kUnhealthy, "the server answered 500"},
      {"/missing", HealthCheck::kUnhealthy, "the server answered 404"},
      {"/garbage", HealthCheck::kUnhealthy, "the answer does not start with an HTTP status line"},
      {"/wide", HealthCheck::kUnhealthy, "the answer does not start with an HTTP status line"},
      {"/endless", HealthCheck::kUnhealthy, "the answer does not start with an HTTP status line"},
      {"/silent", HealthCheck::kUnhealthy, "the server closed the connection without an answer"},
      {"/slow", HealthCheck::kUnhealthy, "no answer within 1 s"},
  };
  for (const auto& c : cases) {
    HealthCheck check(Target("http://127.0.0.1:" + std::to_string(server.port) + c.path), {});
    std::string error;
    ASSERT_TRUE(check.Resolve(&error)) << error;
    long elapsed = 0;
    EXPECT_EQ(c.outcome, Attempt(check, 600, &elapsed)) << c.path << ": " << check.Why();
    EXPECT_EQ(c.why, check.Why()) << c.path;
    // Only the silent server costs the time-out; a flood is cut off at once.
    EXPECT_LT(elapsed, std::string(c.path) == "/slow" ? 1500 : 500) << c.path;
    EXPECT_GE(elapsed, std::string(c.path) == "/slow" ? 600 : 0) << c.path;
    const std::string head = "GET " + std::string(c.path) + " HTTP/1.0\r\nHost: 127.0.0.1:" +
                             std::to_string(server.port) + "\r\n";
    EXPECT_EQ(head, server.LastRequest().substr(0, head.size())) << c.path;
  }
}

TEST(HealthCheckTest, TcpIsHealthyWhenAConnectSucceedsAndAFullQueueTimesOut) {
  int port = 0;
  const int listener = ListenOnLoopback(&port);
  long elapsed = 0;
  std::string error;
  for (const std::string host : {"127.0.0.1", "localhost"}) {
    HealthCheck check(Target("tcp://" + host + ":" + std::to_string(port)), {});
    ASSERT_TRUE(check.Resolve(&error)) << error;
    EXPECT_EQ(HealthCheck::kHealthy, Attempt(check, 1000, &elapsed)) << host << check.Why();
  }
  close(listener);
  HealthCheck refused(Target("tcp://127.0.0.1:" + std::to_string(port)), {});
  ASSERT_TRUE(refused.Resolve(&error));
  EXPECT_EQ(HealthCheck::kUnhealthy, Attempt(refused, 1000, &elapsed));
  EXPECT_EQ("cannot connect: Connection refused", refused.Why());

  // A listener whose queue is full drops new handshakes.
  const int full = ListenOnLoopback(&port, 0);
  std::vector<int> queued;
  for (int i = 0; i < 4; ++i) {
    queued.push_back(ConnectTcp(port, "127.0.0.1", "127.0.0.1", false));
  }
  for (const char* url : {"tcp://127.0.0.1:", "http://127.0.0.1:"}) {
    HealthCheck silent(Target(url + std::to_string(port)), {});
    ASSERT_TRUE(silent.Resolve(&error));
    EXPECT_EQ(HealthCheck::kUnhealthy, Attempt(silent, 400, &elapsed)) << url;
    EXPECT_EQ("no connection within 1 s", silent.Why()) << url;
    EXPECT_GE(elapsed, 400);
    EXPECT_LT(elapsed, 1400);
  }
  for (int fd : queued) {
    close(fd);
  }
  close(full);
}

TEST(HealthCheckTest, ExecRunsInTheGivenContextAndIsKilledWithItsChildrenAtTheTimeOut) {
  TempDir dir;
  char real[PATH_MAX];
  ASSERT_NE(nullptr, realpath(dir.path().c_str(), real));
  char previous[PATH_MAX];
  ASSERT_NE(nullptr, getcwd(previous, sizeof previous));
  ASSERT_EQ(0, chdir(real));
  setenv("LEAK", "from the test", 1);
  const std::vector<std::string> environment{"PATH=/usr/bin:/bin", "FOO=bar 'baz'"};
  const std::string pidFile = dir.Join("sleeper");
  const struct {
    std::string command;
    HealthCheck::Outcome outcome;
    std::string why;
  } cases[] = {
      {"exit 0", HealthCheck::kHealthy, ""},
      {"exit 3", HealthCheck::kUnhealthy, "the command exited 3"},
      {"kill -9 $$", HealthCheck::kUnhealthy, "the command was ended by signal 9"},
      {"[ \"$(pwd -P)\" = '" + std::string(real) +
           "' ] && [ \"$FOO\" = \"bar 'baz'\" ] && [ -z \"${LEAK+x}\" ] && "
           "[ \"$PATH\" = /usr/bin:/bin ] && [ ! -t 0 ] && read x; [ -z \"$x\" ]",
       HealthCheck::kHealthy, ""},
      {"sleep 30 & echo $! > " + pidFile + "; wait", HealthCheck::kUnhealthy,
       "the command did not end within 1 s"},
  };
  for (const auto& c : cases) {
    HealthCheck check(Target("exec:" + c.command), environment);
    long elapsed = 0;
    EXPECT_EQ(c.outcome, Attempt(check, 500, &elapsed)) << c.command << ": " << check.Why();
    EXPECT_EQ(c.why, check.Why()) << c.command;
    EXPECT_LT(elapsed, 1500) << c.command;
  }
  // The command's own child went with it.
  const int sleeper = atoi(ReadAll(pidFile).c_str());
  ASSERT_GT(sleeper, 0);
  EXPECT_TRUE(WaitUntil(
      [&] {
        const char state = ProgramRunner::ProcessState(sleeper);
        return state == '\0' || state == 'Z';
      },
      3000));
  // A check that is destroyed mid-attempt leaves no command behind.
  const std::string shellFile = dir.Join("shell");
  {
    HealthCheck check(Target("exec:echo $$ > " + shellFile + "; exec sleep 30"), environment);
    check.Begin(NowMs(), 10000);
    ASSERT_TRUE(WaitUntil([&] { return atoi(ReadAll(shellFile).c_str()) > 0; }, 3000));
  }
  const int shell = atoi(ReadAll(shellFile).c_str());
  EXPECT_EQ('\0', ProgramRunner::ProcessState(shell)) << "not reaped or still running";
  ASSERT_EQ(0, chdir(previous));
}
