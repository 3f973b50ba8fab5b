// The pieces of "vigilctl run" that decide what a restart runs and what the checks see.
#include <sys/prctl.h>

#include "CleanEnvironment.h"
#include "CtlParse.h"
#include "ProgramRunner.h"
#include "ShellWords.h"
#include "TestCommon.h"
#include "VigilClient.h"

namespace {

// What a start command must carry over.
auto Settings(const CtlArguments& a) {
  return std::tie(a.host, a.port, a.socketPath, a.name, a.wdfreq, a.maxwset, a.minwset, a.wsetincr,
                  a.nomwset, a.maxerrors, a.restart, a.chdir, a.check, a.checkEvery, a.checkTimeout,
                  a.checkFailures, a.checkGrace, a.output, a.logFile, a.logSize, a.logKeep, a.env,
                  a.command);
}

}  // namespace

TEST(ProgramRunnerTest, StartCommandGivesBackEverySettingThroughTheShellHostileValuesToo) {
  setenv("VIGILCTL_TEST_HOSTILE", "it's \"q\" $HOME `id` \\ back end; *", 1);
  const std::vector<std::vector<std::string>> groups = {
      {"run", "--host", "10.1.2.3", "--port", "4004", "--socket", "/run/my sock"},
      {"--name", "web's", "--wdfreq", "4", "--maxwset", "900", "--minwset", "1"},
      {"--wsetincr", "150", "--nomwset", "2", "--restart", "always", "--env", "E="},
      {"--env", "VIGILCTL_TEST_HOSTILE", "--env", "B=a b\\c $x", "--check-every", "7"},
      {"--check", "exec:test \"$(cat /x)\" = 'en''d;' # end.", "--check-timeout", "3"},
      {"--check-failures", "2", "--check-grace", "0", "--maxerrors", "3", "--log", "/l/it's a log"},
      {"--log-size", "5000", "--log-keep", "0"},
      {"--", "/opt/my prog", "--flag", "it's", "", "~", "Backend.exe"},
  };
  std::vector<std::string> every;
  for (const auto& group : groups) {
    every.insert(every.end(), group.begin(), group.end());
  }
  const std::vector<std::string> cases[] = {
      every,
      {"run", "--restart", "never", "--output", "null", "--", "server"},
      {"run", "--check", "http://[::1]:8080/a?b=c&d", "--", "server"},
  };
  for (const auto& words : cases) {
    const CtlArguments first = Parsed(words);
    const std::string directory = "/srv/it's a $dir\\ end.";
    const std::string start =
        ProgramRunner::StartCommand(first, "/opt/vigil ctl/vigilctl", directory);
    EXPECT_EQ("", VigilClient::CheckText("start", start)) << start;
    std::vector<std::string> back = ShellWordList(start);
    ASSERT_GT(back.size(), 2u) << start;
    EXPECT_EQ("/opt/vigil ctl/vigilctl", back[0]);
    back.erase(back.begin());
    const CtlArguments second = Parsed(back);
    CtlArguments expected = first;
    expected.name = ProgramRunner::Name(first);
    expected.wdfreq = first.wdfreq < 0 ? 10 : first.wdfreq;
    expected.chdir = directory;
    EXPECT_EQ(Settings(expected), Settings(second));
    // A second round gives the same line: nothing drifts across restarts.
    EXPECT_EQ(start, ProgramRunner::StartCommand(second, "/opt/vigil ctl/vigilctl", directory));
  }
  // The shape an operator reads in the daemon's log.
  EXPECT_EQ(
      "/usr/bin/vigilctl run --host 127.0.0.1 --port 3003 --name web --wdfreq 10 --restart "
      "on-failure --chdir /srv/web --env A=1 --check http://127.0.0.1:8000/ --check-every 5 "
      "--check-timeout 2 --check-failures 3 --check-grace 10 -- python3 -m http.server",
      ProgramRunner::StartCommand(
          Parsed({"run", "--name", "web", "--env", "A=1", "--check", "http://127.0.0.1:8000/", "--",
                  "python3", "-m", "http.server"}),
          "/usr/bin/vigilctl", "/srv/web"));
}

TEST(ProgramRunnerTest, ProcessStateSeesStoppedAndZombieChildrenWhateverTheirName) {
  const pid_t child = fork();
  if (child == 0) {
    // A name that would fool a reader stopping at the first ')'.
    prctl(PR_SET_NAME, "x) R (y");
    for (;;) {
      pause();
    }
  }
  ASSERT_GT(child, 0);
  const std::string comm = "/proc/" + std::to_string(child) + "/comm";
  EXPECT_TRUE(WaitUntil([&] { return ReadAll(comm) == "x) R (y\n"; }, 3000));
  // Signal 0 only probes: the child sleeps in pause().
  for (const auto& step : {std::pair{0, 'S'}, {SIGSTOP, 'T'}, {SIGCONT, 'S'}, {SIGKILL, 'Z'}}) {
    kill(child, step.first);
    EXPECT_TRUE(WaitUntil([&] { return ProgramRunner::ProcessState(child) == step.second; }, 3000))
        << step.second;
  }
  waitpid(child, nullptr, 0);
  EXPECT_EQ('\0', ProgramRunner::ProcessState(child));
  EXPECT_EQ('\0', ProgramRunner::ProcessState(-1));
}

TEST(ProgramRunnerTest, DownValueNamesTheHighestExitStatusAndFindProgramSearchesThePath) {
  EXPECT_EQ("exit 255", ProgramRunner::DownValue(W_EXITCODE(255, 0)));
  EXPECT_EQ("/bin/sh", ProgramRunner::FindProgram("sh", "/nonexistent:/bin"));
  EXPECT_EQ("", ProgramRunner::FindProgram("sh", "/nonexistent"));
  EXPECT_EQ("./x", ProgramRunner::FindProgram("./x", "/bin"));
}
