// End-to-end tests of the real vigild's life, from its switches to its end.
#include <regex>

#include "DaemonHarness.h"
#include "FakeServiceManager.h"
#include "UsageText.h"

namespace {

class LifecycleE2ETest : public DaemonHarness {};

TEST_F(LifecycleE2ETest, SwitchesAnswerWithoutStartingAndAMissingConfigurationFileIsReported) {
  for (const char* sw : {"-?", "-help", "-usage"}) {
    Daemon d(home, {sw, "-P", "1"}, Env());
    EXPECT_EQ(d.WaitExit(10000), 1) << sw;
    EXPECT_EQ(d.Out(), kUsageText) << sw;
  }
  Daemon version(home, {"-help", "-v", "-P", "1"}, {});
  EXPECT_EQ(version.WaitExit(10000), 0);
  const std::regex shape("Version:  .*\nComment:  .*\nCompiled: .*\n");
  EXPECT_TRUE(std::regex_match(version.Out(), shape)) << version.Out();
  EXPECT_EQ(version.Err(), "");

  Daemon noHome(home, {}, {});
  EXPECT_EQ(noHome.WaitExit(10000), 1);
  EXPECT_EQ(noHome.Err(),
            "[TlVigildConfiguration::ValidateConfiguration] ERROR, missing required "
            "configuration: ROOT_DIRECTORY\n"
            "[vigild::main] ERROR, incorrect, or incomplete configuration.\n");

  auto missing = Start({"-f", home.Join("nope.conf")});
  ASSERT_GE(Anchor(), 0);
  // With -D 5 the console reports each item the pass checks.
  EXPECT_TRUE(missing->OutSays("Checking item : e2e, pid=" + std::to_string(getpid())));
  EXPECT_TRUE(Has(missing->Err(), "[vigild::main] ERROR, missing or invalid configuration file '" +
                                      home.Join("nope.conf") + "'\n"));
}

// "x" in every number the start reads gives one Error naming the key and the
// default taken instead, never a 0, and the daemon runs: on port 3003 for its
// name, served on the handed-over socket, telling the service manager it is
// ready. Neither -P nor -D: they would hide the file's port and level.
TEST_F(LifecycleE2ETest, EveryNumberTheStartReadsIsCheckedAndAValueThatIsNoneKeepsItsDefault) {
  // the key, and its range and default as the Error states them
  const std::pair<std::string, std::string> kKeys[] = {
      {"LOGMANAGER.DEBUGLEVEL", "0 to 10, the default 1"},
      {"WATCHMGR.MANAGERPORT", "1 to 65535, the default 3003"},
      {"WATCHMGR.SERVICENOTIFY", "0 to 1, the default 1"},
      {"WATCHMGR.MAXCLIENTS", "1 to 1000000, the default 1024"},
      {"WATCHMGR.MAXCLIENTSPERUSER", "1 to 1000000, the default 256"},
      {"WATCHMGR.MAXWATCHESPERUSER", "0 to 1000000, the default 1024"},
      {"WATCHMGR.MAXPARALLELRESTARTS", "1 to 1024, the default 16"},
      {"WATCHMGR.RESTARTDELAY", "0 to 3600000, the default 100"},
      {"WATCHMGR.RESTARTWINDOW", "1 to 604800, the default 600"},
      {"WATCHMGR.MAXRESTARTDELAY", "0 to 86400, the default 300"},
      {"WATCHMGR.RESTARTLIMIT", "0 to 1000000, the default 10"}};
  std::string lines;
  for (const auto& [key, said] : kKeys) {
    lines += "GLOBAL." + key + "=x\n";
  }
  home.WriteFile("conf/vigild.conf", lines);
  FakeServiceManager manager(home.Join("notify"));
  int handedPort = 0;
  const int handed = ListenOnLoopback(&handedPort);
  ASSERT_GE(handed, 0);
  Daemon daemon(home, {"-f", home.Join("conf/vigild.conf")}, Env({"NOTIFY_SOCKET=" + manager.path}),
                -1, handed);
  EXPECT_TRUE(manager.WaitFor("READY=1", 10000)) << daemon.Err();
  EXPECT_TRUE(Accepts(handedPort));
  EXPECT_TRUE(daemon.ErrSays(" started on port 3003"));
  for (const auto& [key, said] : kKeys) {
    EXPECT_EQ(1u, Count(daemon.Err(), "ERROR : " + key + "='x' is not a whole number from " + said +
                                          " is used\n"))
        << key << "\n"
        << daemon.Err();
  }
  close(handed);
}

// -c and -l name the daemon, and so the facility of every record. Without a
// file the real binary reads its environment (here: the port) and the
// registry under TLMHOME (here: file logging on). Which layer wins is a unit
// test's.
TEST_F(LifecycleE2ETest, EnvironmentAndRegistryConfigureANamedDaemonThatRestartsASilentCollector) {
  home.WriteFile("conf/registry.conf",
                 "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenmoor\\TALVERA-WatchMgr\\LogManager]\n"
                 "\"CreateFiles\"=\"1\"\n");
  Daemon daemon(home, {"-c", "3", "-l", "7", "-D", "5"},
                Env({"TLM_SNMP_COLL_VIGILDPORT=" + std::to_string(port)}));
  // The anchor keeps the table from emptying between the restart and the new
  // collector's registration, which on a loaded machine can take longer than a pass.
  ASSERT_GE(Anchor(), 0);
  const std::string state = home.Join("state");
  ASSERT_EQ(system(("(" DEMO_COLLECTOR " " + std::to_string(port) + " " + state + " 2)&").c_str()),
            0);
  std::string firstPid;
  ASSERT_TRUE(WaitUntil([&] { return (firstPid = ReadAll(state + "/started")) != ""; }, 5000));
  firstPid.pop_back();
  const auto seen = [&](const std::string& pid) {
    return Has(LogFilesText(), "pid=" + pid + ", last seen=");
  };
  ASSERT_TRUE(WaitUntil([&] { return seen(firstPid); }, 5000));
  home.WriteFile("state/mute", "");
  // Silence of more than 2 s, the stop, the pause, then the start command.
  ASSERT_TRUE(WaitUntil([&] { return Count(ReadAll(state + "/started"), "\n") == 2; }, 25000));
  EXPECT_FALSE(Alive(std::stoi(firstPid)));
  std::string secondPid = ReadAll(state + "/started").substr(firstPid.size() + 1);
  secondPid.pop_back();
  EXPECT_TRUE(WaitUntil([&] { return seen(secondPid); }, 5000));
  EXPECT_EQ(daemon.WaitExit(0), -1);
  const std::string logged = LogFilesText();
  // The silence's Error record and the stop's step reach the day's file, not the console alone.
  EXPECT_PRED2(Has, logged,
               "\tF\t[DL30000]\tGENERIC\t[WatchedItem::IsSomethingWrong] : ERROR : process #" +
                   firstPid + " demo-collector, failed to reset watchdog. No signal since ");
  EXPECT_TRUE(Has(logged, "STOPPING process with kill " + firstPid + "\n"));
  EXPECT_TRUE(Has(logged, "\tVIGILD.3.7-") &&
              Has(logged, "\tLISTENNER_OK\tListenner started on TCP port " + std::to_string(port)));
}

// A handed-over socket is served, the configured port is not bound, and a
// started command inherits neither. Standard output is meanwhile a full pipe
// nobody reads (a paused pager, a stuck journal): the Error record of the
// process found wrong must not hold up the pass, so the restart comes on time.
TEST_F(LifecycleE2ETest, HandedOverSocketAndAFullConsoleHoldUpNoRestartAndOutliveTheDaemon) {
  int handedPort = 0;
  const int managers = ListenOnLoopback(&handedPort);
  int ends[2];
  ASSERT_TRUE(managers >= 0 && FullPipe(ends));
  auto daemon = StartWith("", "5", {}, ends[1], managers);
  close(ends[1]);
  const int fd = ConnectTcp(handedPort);
  const pid_t pid = Process();
  ASSERT_TRUE(fd >= 0 && pid > 0);
  const std::string seen = home.Join("seen"), marker = home.Join("started");
  const int64_t sent = NowMs();
  Send(fd,
       OverLimit(pid, "big", "(env; ls -l /proc/$$/fd) > " + seen + "; kill " + std::to_string(pid),
                 "echo again > " + marker));
  close(fd);
  ASSERT_TRUE(WaitUntil([&] { return Has(ReadAll(seen), "PATH="); }, 10000)) << daemon->Err();
  EXPECT_LT(ConnectTcp(port), 0) << "the configured port was bound too";
  EXPECT_FALSE(Has(ReadAll(seen), "LISTEN_") || Has(ReadAll(seen), "socket:")) << ReadAll(seen);
  // A pass, up to two grace checks, the pause, the start.
  EXPECT_TRUE(WaitUntil([&] { return ReadAll(marker) == "again\n"; }, 25000));
  EXPECT_LT(NowMs() - sent, 25000);
  EXPECT_FALSE(Alive(pid));
  // Restarted and forgotten, the process leaves the table empty: the daemon
  // ends, and the manager's socket goes on listening for the next start.
  EXPECT_EQ(daemon->WaitExit(30000), 0);
  EXPECT_TRUE(Accepts(handedPort));
  close(managers);
  close(ends[0]);
}

// A stop signal ends the daemon alone: what it supervises, registered with a
// stop command, goes on running. Twenty rounds, as the race is rare; five
// under the sanitizers, which run the same code many times slower.
TEST_F(LifecycleE2ETest, TermSignalUnderStreamingClientsEndsWithStatusZeroAndLeavesProcesses) {
  const int rounds = kSanitized ? 5 : 20;
  for (int round = 0; round < rounds; ++round) {
    auto daemon = Start();
    ASSERT_TRUE(Accepts());
    // Once under each signal only: the wait for the pass that lists it and the end of its
    // idle connection cost four seconds a round.
    const pid_t kept = round > 1 ? 0 : Process(0, [](pid_t p) {
      return Watch(p, "kept", "kill " + std::to_string(p));
    });
    ASSERT_TRUE(kept == 0 || daemon->OutSays("Checking item : kept, pid=" + std::to_string(kept)));
    std::atomic<int> connected{0};
    std::atomic<bool> done{false};
    std::vector<std::thread> clients;
    for (int i = 0; i < 32; ++i) {
      clients.emplace_back([&, pid = 900000 + i] {
        const int fd = ConnectTcp(port);
        connected += fd >= 0 ? 1 : 0;
        const std::string orders = Watch(pid, "e2e") + Beat(pid, 5);
        while (fd >= 0 && !done && send(fd, orders.data(), orders.size(), MSG_NOSIGNAL) > 0) {
        }
        close(fd);
      });
    }
    EXPECT_TRUE(WaitUntil([&] { return connected == 32; }, 30000));
    usleep(200000);
    kill(daemon->pid, round % 2 ? SIGINT : SIGTERM);
    EXPECT_EQ(daemon->WaitExit(10000), 0) << "round " << round;
    EXPECT_TRUE(kept == 0 || Alive(kept)) << "round " << round;
    done = true;
    for (std::thread& t : clients) {
      t.join();
    }
  }
}

// A log directory anyone may write to is warned of. The status file is
// replaced whole: a reader that holds it open reads what it opened. The log
// directory then goes away or cannot be written (a file in its place; not as
// root also a read-only directory): supervision goes on, each run of failures
// gives one error line, and the files come back with the directory.
TEST_F(LifecycleE2ETest, HeldStatusFileAndLostLogDirectoryStopNothingUntilTheLastItemGoes) {
  ASSERT_EQ(0, chmod(home.Join("log").c_str(), 0777));
  auto daemon = StartWith("GLOBAL.LOGMANAGER.CREATEFILES=1\n");
  const int fd = Anchor();
  ASSERT_GE(fd, 0);
  const std::string openLog = "WARNING : the log directory " + home.Join("log/") + " (mode 0777)";
  EXPECT_TRUE(WaitUntil([&] { return Has(LogFilesText(), openLog); }, 10000));
  const std::string status = home.Join("log/vigild.status.json"),
                    checked = "Checking item : e2e, pid=" + std::to_string(getpid());
  Send(fd, Beat(getpid(), 1000));
  ASSERT_TRUE(WaitUntil([&] { return Has(ReadAll(status), "\"e2e\""); }, 10000));
  const int held = open(status.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(held, 0);
  // Opened through the descriptor, the path reads the file it holds even once replaced.
  const std::string heldFile = "/proc/self/fd/" + std::to_string(held), opened = ReadAll(heldFile);
  ASSERT_TRUE(Has(opened, "\"e2e\"")) << opened;
  Send(fd, Beat(getpid(), 4000));
  ASSERT_TRUE(WaitUntil([&] { return Has(ReadAll(status), "4000"); }, 10000));
  EXPECT_EQ(opened, ReadAll(heldFile)) << "the file a reader held was written again";
  close(held);

  // Every pass logs the item; a file the daemon renames or removes between
  // the listing and the removal makes remove_all fail: it tries again.
  const auto logging = [&] {
    return WaitUntil([&] { return Has(LogFilesText(), checked); }, 10000);
  };
  const std::string logDir = home.Join("log");
  const auto remove = [&] {
    std::error_code error;
    const auto failed = static_cast<std::uintmax_t>(-1);
    EXPECT_TRUE(
        WaitUntil([&] { return std::filesystem::remove_all(logDir, error) != failed; }, 5000));
  };
  ASSERT_TRUE(logging());
  remove();
  EXPECT_TRUE(logging()) << "no file after the directory was removed";
  const std::string failure = "[LogDeviceFile::OpenFileFor] ERROR : open log file ";
  for (const bool readOnly : {false, true}) {
    if (readOnly && geteuid() == 0) {
      std::printf("read-only directory not tried: root writes into it all the same\n");
      continue;
    }
    SCOPED_TRACE(readOnly ? "read-only" : "a file in its place");
    const size_t before = Count(daemon->Err(), failure);
    remove();
    if (readOnly) {
      mkdir(logDir.c_str(), 0555);
    } else {
      home.WriteFile("log", "");
    }
    EXPECT_TRUE(WaitUntil([&] { return Count(daemon->Err(), failure) > before; }, 10000));
    sleep(2);  // two more passes fail to log
    EXPECT_EQ(Count(daemon->Err(), failure), before + 1) << daemon->Err();
    readOnly ? chmod(logDir.c_str(), 0755) : unlink(logDir.c_str());
    EXPECT_TRUE(logging()) << "no file once the directory was back";
  }

  kill(daemon->pid, SIGPIPE);
  EXPECT_EQ(daemon->WaitExit(1000), -1);  // an item keeps it running, SIGPIPE does not end it
  Send(fd, "BEGINMGMT\nstop: " + std::to_string(getpid()) + "\nEND;\n");
  EXPECT_EQ(daemon->WaitExit(5000), 0);
  EXPECT_EQ(EndOf(fd, 2000), "closed");
}

// A stop signal while the pass sits in the 10 s pause of a restart, with a
// client waiting for the table: the daemon ends with 0 within 2 s, every
// record queued by then is in the day's file, and the start command never runs.
// With its key off, a service manager in the environment hears nothing: not
// the start, the passes' pings, the table's change nor the stop.
TEST_F(LifecycleE2ETest, TermSignalDuringARestartPauseDrainsTheLogAndEndsWithinTwoSeconds) {
  FakeServiceManager manager(home.Join("notify"));
  ASSERT_TRUE(manager.Bound());
  auto daemon = StartWith(
      "GLOBAL.LOGMANAGER.CREATEFILES=1\nGLOBAL.WATCHMGR.RESTARTDELAY=10000\n"
      "GLOBAL.WATCHMGR.SERVICENOTIFY=0\n",
      "5", {"NOTIFY_SOCKET=" + manager.path, "WATCHDOG_USEC=2000000"});
  const int fd = ConnectWhenUp();
  const pid_t pid = Process();
  ASSERT_TRUE(fd >= 0 && pid > 0);
  const std::string marker = home.Join("started");
  Send(fd, OverLimit(pid, "big", "kill " + std::to_string(pid), "echo again > " + marker));
  ASSERT_TRUE(
      WaitUntil([&] { return Has(LogFilesText(), "process pid has been removed."); }, 15000));
  // Lines the daemon logs as it reads them, then an order that waits for the table.
  std::string lines;
  for (int i = 0; i < 50; ++i) {
    lines += "queued-" + std::to_string(i) + "\n";
  }
  Send(fd, lines + Beat(pid, 5));
  usleep(300000);
  const int64_t signalled = NowMs();
  kill(daemon->pid, SIGTERM);
  EXPECT_EQ(daemon->WaitExit(5000), 0);
  EXPECT_LT(NowMs() - signalled, 2000);
  const std::string logged = LogFilesText();
  for (int i = 0; i < 50; ++i) {
    EXPECT_TRUE(Has(logged, "Read line : queued-" + std::to_string(i) + "\n")) << i;
  }
  EXPECT_TRUE(Has(logged, "INFO : signal 15 received, stopping")) << logged;
  usleep(500000);
  EXPECT_EQ(ReadAll(marker), "");
  EXPECT_EQ(manager.Texts(), "");
  close(fd);
}

}  // namespace
