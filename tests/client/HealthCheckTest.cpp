// The three kinds of check against real local listeners and commands: what is healthy,
// what is not and why, and that no attempt outlasts its time-out.
#include <future>

#include "HealthCheck.h"
#include "ProgramRunner.h"
#include "TestCommon.h"
#include "TestSockets.h"

namespace {

// Answers the next connection to listener once and returns its request. A '|' in the answer
// is a pause of 150 ms; with hold the connection stays open until the check closes it.
std::string ServeOnce(int listener, const std::string& answer, bool hold) {
  const int connection = AcceptWithin(listener, 3000);
  if (connection < 0) {
    return "no connection";
  }
  std::string request;
  char buffer[1024];
  pollfd incoming{connection, POLLIN, 0};
  ssize_t n = 0;
  while (request.find("\r\n\r\n") == std::string::npos && poll(&incoming, 1, 1000) == 1 &&
         (n = recv(connection, buffer, sizeof buffer, 0)) > 0) {
    request.append(buffer, static_cast<size_t>(n));
  }
  const size_t pause = answer.find('|');
  send(connection, answer.data(), std::min(pause, answer.size()), MSG_NOSIGNAL);
  if (pause != std::string::npos) {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    send(connection, answer.data() + pause + 1, answer.size() - pause - 1, MSG_NOSIGNAL);
  }
  while (hold && poll(&incoming, 1, 3000) == 1 && recv(connection, buffer, sizeof buffer, 0) > 0) {
  }
  close(connection);
  return request;
}

HealthCheck::Target Target(const std::string& url) {
  HealthCheck::Target target;
  std::string error;
  EXPECT_TRUE(HealthCheck::Parse(url, &target, &error)) << url << ": " << error;
  return target;
}

struct Attempted {
  std::string verdict;  // "healthy", or "unhealthy: " and why
  long elapsedMs;
};

// One attempt at url driven as the wrapper drives it: poll, then Step.
Attempted Attempt(const std::string& url, long timeoutMs,
                  const std::vector<std::string>& environment = {}) {
  HealthCheck check(Target(url), environment);
  std::string error;
  EXPECT_TRUE(check.Resolve(&error)) << url << ": " << error;
  const long begin = NowMs();
  check.Begin(begin, timeoutMs);
  HealthCheck::Outcome outcome = check.Step(NowMs());
  while (outcome == HealthCheck::kPending) {
    pollfd ready{check.Fd(), check.Events(), 0};
    poll(&ready, check.Fd() >= 0 ? 1 : 0, 10);
    outcome = check.Step(NowMs());
  }
  EXPECT_FALSE(check.Running());
  const std::string why = check.Why().empty() ? "" : ": " + check.Why();
  return {(outcome == HealthCheck::kHealthy ? "healthy" : "unhealthy") + why, NowMs() - begin};
}

}  // namespace

TEST(HealthCheckTest, UrlsAreReadIntoTheirParts) {
  const std::pair<const char*, const char*> cases[] = {
      {"http://127.0.0.1:8000/", "http 127.0.0.1 8000 / "},
      {"http://web", "http web 80 / "},
      {"http://web.example_1:65535/a/b?c=d&e#f", "http web.example_1 65535 /a/b?c=d&e#f "},
      {"http://[::1]:81/x", "http ::1 81 /x "},
      {"tcp://localhost:1", "tcp localhost 1 / "},
      {"tcp://[2001:db8::1]:22", "tcp 2001:db8::1 22 / "},
      {"exec:curl -fs http://x/ | grep -q ok", "exec  0  curl -fs http://x/ | grep -q ok"},
  };
  for (const auto& [url, parts] : cases) {
    const HealthCheck::Target t = Target(url);
    const char* kinds[] = {"http", "tcp", "exec"};
    EXPECT_EQ(parts, std::string(kinds[t.kind]) + " " + t.host + " " + std::to_string(t.port) +
                         " " + t.path + " " + t.command);
  }
}

TEST(HealthCheckTest, HttpIsHealthyOnlyOnTwoOrThreeHundredsAndEveryOtherAnswerSaysWhy) {
  int port = 0;
  const int listener = ListenOnLoopback(&port);
  const std::string notHttp = "unhealthy: the answer does not start with an HTTP status line";
  const std::tuple<std::string, std::string, bool, std::string> cases[] = {
      {"/ok", "HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n", false, "healthy"},
      {"/moved", "HTTP/1.1 302 Found\r\nLocation: /ok\r\n\r\n", false, "healthy"},
      {"/split", "HTTP/1.1 2|04 No Content\r\n\r\n", false, "healthy"},
      {"/bare", "HTTP/1.1 204", false, "healthy"},
      {"/broken", "HTTP/1.1 500 Internal Server Error\r\n\r\n", false,
       "unhealthy: the server answered 500"},
      {"/missing", "HTTP/1.1 404 Not Found\r\n\r\n", false, "unhealthy: the server answered 404"},
      {"/garbage", std::string("\x16\x03\x01\x00\xff binary\r\n", 14), false, notHttp},
      {"/wide", "HTTP/1.1 2000 OK\r\n\r\n", false, notHttp},
      {"/endless", std::string(3 * HealthCheck::kMaxAnswer, 'A'), true, notHttp},
      {"/silent", "", false, "unhealthy: the server closed the connection without an answer"},
      {"/slow", "", true, "unhealthy: no answer within 1 s"},
  };
  for (const auto& [path, answer, hold, verdict] : cases) {
    auto server = std::async(std::launch::async, ServeOnce, listener, answer, hold);
    const Attempted a = Attempt("http://127.0.0.1:" + std::to_string(port) + path, 600);
    const std::string request = server.get();
    EXPECT_EQ(verdict, a.verdict) << path;
    // Only the silent server costs the time-out; a flood is cut off at once.
    EXPECT_LT(a.elapsedMs, path == "/slow" ? 1500 : 500) << path;
    EXPECT_GE(a.elapsedMs, path == "/slow" ? 600 : 0) << path;
    const std::string head =
        "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n";
    EXPECT_EQ(head, request.substr(0, head.size())) << path;
  }
  close(listener);
}

TEST(HealthCheckTest, TcpIsHealthyWhenAConnectSucceedsAndAFullQueueTimesOut) {
  int port = 0;
  const int listener = ListenOnLoopback(&port);
  for (const std::string host : {"127.0.0.1", "localhost"}) {
    EXPECT_EQ("healthy", Attempt("tcp://" + host + ":" + std::to_string(port), 1000).verdict)
        << host;
  }
  close(listener);
  EXPECT_EQ("unhealthy: cannot connect: Connection refused",
            Attempt("tcp://127.0.0.1:" + std::to_string(port), 1000).verdict);

  // A listener whose queue is full drops new handshakes.
  const int full = ListenOnLoopback(&port, 0);
  std::vector<int> queued;
  for (int i = 0; i < 4; ++i) {
    queued.push_back(ConnectTcp(port, "127.0.0.1", "127.0.0.1", false));
  }
  for (const std::string url : {"tcp://127.0.0.1:", "http://127.0.0.1:"}) {
    const Attempted silent = Attempt(url + std::to_string(port), 400);
    EXPECT_EQ("unhealthy: no connection within 1 s", silent.verdict) << url;
    EXPECT_GE(silent.elapsedMs, 400);
    EXPECT_LT(silent.elapsedMs, 1400);
  }
  for (int fd : queued) {
    close(fd);
  }
  close(full);
}

TEST(HealthCheckTest, ExecRunsInTheGivenContextAndIsKilledWithItsChildrenAtTheTimeOut) {
  TempDir dir;
  setenv("LEAK", "from the test", 1);
  const std::vector<std::string> environment{"PATH=/usr/bin:/bin", "FOO=bar 'baz'"};
  const std::string pidFile = dir.Join("sleeper");
  const std::pair<std::string, std::string> cases[] = {
      {"exit 3", "unhealthy: the command exited 3"},
      {"kill -9 $$", "unhealthy: the command was ended by signal 9"},
      {"[ \"$(pwd -P)\" = '" + std::filesystem::current_path().string() +
           "' ] && [ \"$FOO\" = \"bar 'baz'\" ] && [ -z \"${LEAK+x}\" ] && "
           "[ \"$PATH\" = /usr/bin:/bin ] && [ ! -t 0 ] && ! read x && [ -z \"$x\" ]",
       "healthy"},
      {"sleep 30 & echo $! > " + pidFile + "; wait",
       "unhealthy: the command did not end within 1 s"},
  };
  for (const auto& [command, verdict] : cases) {
    const Attempted a = Attempt("exec:" + command, 500, environment);
    EXPECT_EQ(verdict, a.verdict) << command;
    EXPECT_LT(a.elapsedMs, 1500) << command;
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
}
