// The real vigilctl against a listener that plays the daemon and keeps every order it is
// sent, and against status files written by the test.
#include <regex>

#include "ChildProcess.h"
#include "CleanEnvironment.h"
#include "CtlHarness.h"
#include "ProgramRunner.h"
#include "ShellQuote.h"

namespace {

// A loopback listener in the daemon's place: it keeps every byte sent and closes a
// connection once its client has finished sending, as the daemon does.
class FakeDaemon {
 public:
  FakeDaemon() : fd(ListenOnLoopback(&port)), thread([this] { _Serve(); }) {}
  ~FakeDaemon() {
    done = true;
    thread.join();
    close(fd);
  }
  std::string Text() {
    std::lock_guard<std::mutex> hold(mutex);
    return text;
  }
  // A value of the first order that holds "key: ", or "".
  std::string Value(const std::string& key) {
    const std::string all = Text();
    std::smatch value;
    return std::regex_search(all, value, std::regex("\n" + key + ": (.*)")) ? value[1].str() : "";
  }
  int port = 0;

 private:
  // ready[0] is the listener, the others its connections; poll skips a closed one's -1.
  void _Serve() {
    std::vector<pollfd> ready{{fd, POLLIN, 0}};
    while (!done) {
      if (poll(ready.data(), ready.size(), 50) <= 0) {
        continue;
      }
      for (size_t i = 1; i < ready.size(); ++i) {
        if (ready[i].revents == 0) {
          continue;
        }
        char buffer[4096];
        const ssize_t n = recv(ready[i].fd, buffer, sizeof buffer, 0);
        if (n > 0) {
          std::lock_guard<std::mutex> hold(mutex);
          text.append(buffer, static_cast<size_t>(n));
        } else {
          close(ready[i].fd);
          ready[i].fd = -1;
        }
      }
      if ((ready[0].revents & POLLIN) != 0) {
        ready.push_back({accept4(fd, nullptr, nullptr, SOCK_CLOEXEC), POLLIN, 0});
      }
    }
    for (size_t i = 1; i < ready.size(); ++i) {
      close(ready[i].fd);
    }
  }

  const int fd;
  std::atomic<bool> done{false};
  std::mutex mutex;  // guards text
  std::string text;
  std::thread thread;
};

class VigilctlRunE2ETest : public CtlHarness {
 protected:
  // "vigilctl run" against fakes[tag], a FakeDaemon of its own.
  pid_t Run(const std::string& tag, const std::vector<std::string>& args) {
    fakes[tag] = std::make_unique<FakeDaemon>();
    return CtlHarness::Run(args, tag, fakes[tag]->port);
  }
  // The child of the latest registration with fakes[tag], once count have come; killed at the end.
  long Child(const std::string& tag, size_t count = 1) {
    if (!WaitUntil([&] { return Count(fakes[tag]->Text(), "BEGINWATCH") >= count; }, 10000)) {
      return -1;
    }
    const std::string text = fakes[tag]->Text();
    processes.push_back(
        static_cast<pid_t>(std::stol(text.substr(text.rfind("BEGINWATCH\npid: ") + 16))));
    return processes.back();
  }
  // A status file of a live daemon with these programs ("" for none).
  void WriteStatus(const std::string& file, const std::string& programs, long age = 0) {
    home.WriteFile(file + ".tmp",
                   "{\"daemon\":{\"pid\":" + std::to_string(getpid()) +
                       ",\"updated\":" + std::to_string(time(nullptr) - age) +
                       ",\"port\":1,\"passes\":1,\"running\":true},\"processes\":[]" +
                       (programs.empty() ? "" : ",\"programs\":" + programs) + "}");
    rename(home.Join(file + ".tmp").c_str(), home.Join(file).c_str());
  }

  std::map<std::string, std::unique_ptr<FakeDaemon>> fakes;
};

std::string Program(const std::string& state) {
  return "{\"state\":\"" + state +
         "\",\"seconds_left\":0,\"last_exit\":\"exit 1\",\"last_reason\":\"exit\","
         "\"uptime_seconds\":0,\"restarts\":10}";
}

}  // namespace

TEST_F(VigilctlRunE2ETest, ChildEndIsReportedAtOnceUnderEachRestartPolicy) {
  const struct {
    const char* policy;
    const char* end;
    int status;
    const char* down;  // null: forgotten instead
  } cases[] = {
      {"on-failure", "exit 3", 3, "exit 3"}, {"on-failure", "exit 0", 0, nullptr},
      {"always", "exit 0", 0, "exit 0"},     {"always", "kill -15 $$", 143, "signal 15"},
      {"never", "exit 3", 3, nullptr},       {"never", "kill -9 $$", 137, nullptr},
  };
  std::vector<pid_t> wrappers;
  const long begin = NowMs();
  // One heartbeat at once, the next in 30 s: only an immediate report arrives in time.
  for (const auto& c : cases) {
    wrappers.push_back(Run(std::to_string(wrappers.size()),
                           {"--restart", c.policy, "--wdfreq", "60", "--", "/bin/sh", "-c",
                            std::string("sleep 0.5; ") + c.end}));
  }
  for (size_t i = 0; i < wrappers.size(); ++i) {
    const auto& c = cases[i];
    EXPECT_EQ(c.status, WaitExit(wrappers[i], 10000)) << c.policy << " " << c.end;
    const std::string text = fakes[std::to_string(i)]->Text();
    const std::string pid = fakes[std::to_string(i)]->Value("pid");
    const std::string tail =
        c.down != nullptr
            ? "BEGINMSG\npid: " + pid +
                  "\npswset: [0-9]+\npsnomwset: 0\npserrors: 0\npsdown: " + c.down + "\nEND;\n$"
            : "BEGINMGMT\nstop: " + pid + "\nEND;\n$";
    EXPECT_TRUE(std::regex_search(text, std::regex(tail))) << c.policy << " " << c.end << "\n"
                                                           << text;
    EXPECT_EQ(c.down != nullptr ? 1u : 0u, Count(text, "psdown")) << text;
    EXPECT_EQ(1u, Count(text, "BEGINWATCH")) << text;
  }
  EXPECT_LT(NowMs() - begin, 8000) << "the end waited for a heartbeat";
}

TEST_F(VigilctlRunE2ETest, StopCommandEndsAStoppedChildAndAWrapperToldToStopReportsNothing) {
  const int signals[] = {SIGTERM, SIGINT, SIGHUP};
  std::vector<pid_t> wrappers;
  for (int signal : signals) {
    wrappers.push_back(Run(std::to_string(signal),
                           {"--restart", "always", "--wdfreq", "60", "--", "/bin/sleep", "300"}));
  }
  for (size_t i = 0; i < wrappers.size(); ++i) {
    const std::string tag = std::to_string(signals[i]);
    const long stopped = Child(tag);
    ASSERT_GT(stopped, 0) << ReadAll(RunErr(tag));
    EXPECT_EQ("kill " + std::to_string(wrappers[i]), fakes[tag]->Value("psstop"));
    kill(static_cast<pid_t>(stopped), SIGSTOP);
    EXPECT_TRUE(WaitUntil(
        [&] { return ProgramRunner::ProcessState(static_cast<int>(stopped)) == 'T'; }, 3000));
  }
  // The daemon runs the registered stop command; an operator sends the others.
  EXPECT_EQ(0, system(fakes[std::to_string(SIGTERM)]->Value("psstop").c_str()));
  kill(wrappers[1], SIGINT);
  kill(wrappers[2], SIGHUP);
  for (size_t i = 0; i < wrappers.size(); ++i) {
    EXPECT_EQ(128 + signals[i], WaitExit(wrappers[i], 5000)) << "signal " << signals[i];
    const std::string text = fakes[std::to_string(signals[i])]->Text();
    EXPECT_FALSE(Has(text, "psdown") || Has(text, "BEGINMGMT")) << text;
  }
}

TEST_F(VigilctlRunE2ETest, ChecksReportProbeOnlyAfterTheirFailuresInARowOutsideTheGrace) {
  const std::string flag = Mark("transient.flag");
  home.WriteFile("marks/transient.flag", "");
  // tag, what its check runs after it counts itself, failures in a row, grace
  const std::tuple<std::string, std::string, const char*, const char*> cases[] = {
      {"failing", "exit 1", "3", "0"},
      {"transient", "if [ -e " + flag + " ]; then rm " + flag + "; exit 1; fi", "2", "0"},
      {"grace", "exit 1", "1", "3"},
      {"unchecked", "", "", ""},
  };
  std::map<std::string, pid_t> wrappers;
  std::map<std::string, long> programs;
  const long begin = NowMs();
  for (const auto& [tag, exec, failures, grace] : cases) {
    std::vector<std::string> args{"--wdfreq", "60", "--", "/bin/sleep", "300"};
    if (!exec.empty()) {
      args.insert(args.begin(),
                  {"--check", "exec:echo x >> " + Mark(tag) + "; " + exec, "--check-failures",
                   failures, "--check-grace", grace, "--check-every", "1"});
    }
    wrappers[tag] = Run(tag, args);
  }
  for (const auto& [tag, wrapper] : wrappers) {
    programs[tag] = Child(tag);
    ASSERT_GT(programs[tag], 0) << tag << ReadAll(RunErr(tag));
  }

  // Within the grace nothing counts, though the checks run and fail.
  ASSERT_TRUE(WaitUntil([&] { return Has(fakes["grace"]->Text(), "psdown: probe"); }, 10000));
  EXPECT_GE(NowMs() - begin, 3000);
  EXPECT_GE(Count(ReadAll(Mark("grace")), "x"), 3u);

  // Three failures in a row, then the report, then no more checks.
  ASSERT_TRUE(
      WaitUntil([&] { return Has(fakes["failing"]->Text(), "psdown: probe\nEND;\n"); }, 10000))
      << ReadAll(RunErr("failing"));
  EXPECT_TRUE(
      Has(ReadAll(RunErr("failing")), "vigilctl: check 3 of 3 failed: the command exited 1\n"));

  // Without a check a stopped child is left to the heartbeats. A third mark
  // means the second check, which passed, is over.
  EXPECT_TRUE(WaitUntil([&] { return Count(ReadAll(Mark("transient")), "x") >= 3; }, 10000));
  kill(static_cast<pid_t>(programs["unchecked"]), SIGSTOP);

  // A second single failure, long after the first: still no report.
  home.WriteFile("marks/transient.flag", "");
  EXPECT_TRUE(WaitUntil([&] { return Count(ReadAll(Mark("transient")), "x") >= 7; }, 15000));
  EXPECT_FALSE(Has(fakes["transient"]->Text(), "psdown")) << ReadAll(RunErr("transient"));
  EXPECT_EQ(2u, Count(ReadAll(RunErr("transient")), "check 1 of 2 failed"));
  EXPECT_FALSE(Has(fakes["unchecked"]->Text(), "psdown"));
  EXPECT_EQ("x\nx\nx\n", ReadAll(Mark("failing")));
  for (const auto& [tag, wrapper] : wrappers) {
    EXPECT_EQ(0, waitpid(wrapper, nullptr, WNOHANG)) << tag << " ended";
    EXPECT_EQ(1u, Count(fakes[tag]->Text(), "BEGINWATCH"));
    EXPECT_LE(Count(fakes[tag]->Text(), "psdown"), 1u);
  }
}

TEST_F(VigilctlRunE2ETest, ProgramRunsInTheSameCleanContextAfterARestart) {
  const std::string directory = home.Join("it's a \"$dir\" \\ end;");
  ASSERT_EQ(0, mkdir(directory.c_str(), 0755));
  const std::string hostile = "it's \"q\" $HOME `id` \\ back end; *";
  FakeDaemon& fake = *(fakes["1"] = std::make_unique<FakeDaemon>());
  // Started in the directory, as an operator does, with variables of its own.
  const std::string line = "cd " + ShellQuote::Word(directory) +
                           " && exec " VIGILCTL_BINARY " run --port " + std::to_string(fake.port) +
                           " --env FOO --env " + ShellQuote::Word("BAR=" + hostile) +
                           " --env HOME=/elsewhere --env HOM=a=b" +
                           " --wdfreq 60 -- /bin/sh -c 'pwd; env | LC_ALL=C sort; echo --; exec "
                           "sleep 300'";
  owned.push_back(SpawnClean({"/bin/sh", "-c", line}, Env({"FOO=caller's", "LEAKED=1"}),
                             RunOut("1"), RunErr("1")));
  ASSERT_GT(Child("1"), 0) << ReadAll(RunErr("1"));
  ASSERT_TRUE(WaitUntil([&] { return Has(ReadAll(RunOut("1")), "--\n"); }, 5000));
  const std::string start = fake.Value("psstart");

  // A given variable takes the place of the clean one of its name, and only of that name.
  std::vector<std::string> expected = CleanEnvironment::For(CleanEnvironment::AccountOf(geteuid()));
  std::replace_if(
      expected.begin(), expected.end(), [](const std::string& e) { return StartsWith(e, "HOME="); },
      "HOME=/elsewhere");
  expected.insert(expected.end(),
                  {"FOO=caller's", "BAR=" + hostile, "HOM=a=b", "PWD=" + directory});
  std::sort(expected.begin(), expected.end());
  std::string listing = directory + "\n";
  for (const std::string& entry : expected) {
    listing += entry + "\n";
  }
  EXPECT_EQ(listing + "--\n", ReadAll(RunOut("1")));

  // The restart as the daemon runs it: from "/", with nothing of the caller.
  kill(owned.back(), SIGTERM);
  EXPECT_EQ(128 + SIGTERM, WaitExit(owned.back(), 5000));
  owned.push_back(
      SpawnClean({"/usr/bin/sh", "-c", "cd / && " + start}, {"HOME=/"}, RunOut("2"), RunErr("2")));
  ASSERT_GT(Child("1", 2), 0) << ReadAll(RunErr("2"));
  ASSERT_TRUE(WaitUntil([&] { return Has(ReadAll(RunOut("2")), "--\n"); }, 5000))
      << ReadAll(RunErr("2"));
  EXPECT_EQ(ReadAll(RunOut("1")), ReadAll(RunOut("2")));
  // The restart registers the very same line: nothing drifts.
  EXPECT_EQ(2u, Count(fake.Text(), "psstart: " + start + "\n")) << fake.Text();

  // A value that a restart could not carry is refused before anything starts.
  EXPECT_EQ("1||vigilctl: cannot enter directory " + home.Join("missing") +
                ": No such file or directory\n",
            Told(Ctl({"run", "--port", std::to_string(fake.port), "--chdir", home.Join("missing"),
                      "--", "/bin/true"},
                     false)));
  EXPECT_EQ(2u, Count(fake.Text(), "BEGINWATCH"));
}

TEST_F(VigilctlRunE2ETest, ResetSendsItsOrderAndReportsWhatTheStatusFileShows) {
  std::atomic<bool> done{false};
  std::thread writer([&] {
    // Rewritten as the daemon does, so the files never go stale.
    for (const long begin = NowMs(); !done;) {
      const bool recovered = NowMs() - begin > 1000;
      WriteStatus("web.json", "{\"web\":" + Program(recovered ? "restarting" : "failed") + "}");
      WriteStatus("stuck.json", "{\"db\":" + Program("failed") + "}");
      WriteStatus("old.json", "");
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
  });
  FakeDaemon fake;
  const auto reset = [&](const std::string& name, const std::string& file) {
    return Ctl(
        {"reset", name, "--status-file", home.Join(file), "--port", std::to_string(fake.port)},
        false);
  };
  std::thread stuck([&] {
    EXPECT_EQ(
        "0||vigilctl: reset sent; db is still failed after 5 s (only the user who registered "
        "it, or root, may reset it)\n",
        Told(reset("db", "stuck.json")));
  });
  EXPECT_EQ("0|web: restarting\n|", Told(reset("web", "web.json")));
  EXPECT_EQ("0||vigilctl: reset sent; the daemon lists no program web\n",
            Told(reset("web", "old.json")));
  stuck.join();
  done = true;
  writer.join();
  // Each order whole, as the daemon reads it.
  const std::string sent = fake.Text(), db = "BEGINRESET\npsname: db\nEND;\n",
                    web = "BEGINRESET\npsname: web\nEND;\n";
  EXPECT_EQ(1u, Count(sent, db)) << sent;
  EXPECT_EQ(2u, Count(sent, web)) << sent;
  EXPECT_EQ(db.size() + 2 * web.size(), sent.size());
  EXPECT_PRED2(StartsWith,
               Told(Ctl({"reset", "a end; b", "--port", std::to_string(fake.port)}, false)),
               "1||vigilctl: name contains \"end\"");
  EXPECT_PRED2(StartsWith, Told(Ctl({"reset", "web", "--port", std::to_string(FreePort())}, false)),
               "2||vigilctl: cannot connect");
  EXPECT_EQ(3u, Count(fake.Text(), "BEGINRESET")) << "a refused reset was sent";
}

TEST_F(VigilctlRunE2ETest, StatusCheckExitsByTheProgramStateForMonitoring) {
  const struct {
    const char* file;
    std::string programs;
    long age;
    std::string told;  // its start: the error output names the cause
  } cases[] = {
      {"watching", "{\"web\":" + Program("watching") + "}", 0, "0|watching\n|"},
      {"restarting", "{\"web\":" + Program("restarting") + "}", 0, "2|restarting\n|"},
      {"waiting", "{\"web\":" + Program("waiting") + "}", 0, "2|waiting\n|"},
      {"absent", "{\"db\":" + Program("watching") + "}", 0, "1|unknown\n|"},
      {"stale", "{\"web\":" + Program("watching") + "}", 60,
       "1|unknown\n|vigilctl: vigild is not running ('" + home.Join("stale") +
           "' was last written"},
  };
  for (const auto& c : cases) {
    WriteStatus(c.file, c.programs, c.age);
    EXPECT_PRED2(StartsWith,
                 Told(Ctl({"status", "--check", "web", "--status-file", home.Join(c.file)})),
                 c.told);
  }
}
