// vigilctl against the real vigild. Compiled twice: the quick cases, and (with
// VIGILCTL_E2E_SLOW) the ones that sit through the daemon's 10 s restart pause.
#include <iostream>

#include "ChildProcess.h"
#include "CtlHarness.h"
#include "VigilClient.h"

using VigilctlE2ETest = CtlHarness;

#if !VIGILCTL_E2E_SLOW

TEST_F(VigilctlE2ETest, EveryVerbAgainstARunningDaemonAndTheExitStatuses) {
  // Nothing listens yet: 2, with the message scripts can rely on.
  EXPECT_EQ(
      "2||vigilctl: cannot connect to 127.0.0.1:" + std::to_string(port) + ": Connection refused\n",
      Told(Ctl({"beat", "--pid", "5"})));
  EXPECT_EQ(3, Status().status);

  StartDaemon();
  const pid_t keeper = Keeper();
  const std::string id = std::to_string(keeper);
  EXPECT_EQ(
      0, Ctl({"beat", "--pid", id, "--wset", "1234", "--nomwset", "1000", "--errors", "2"}).status);
  // A usage error: one line naming the cause, then the usage; nothing sent.
  EXPECT_PRED2(StartsWith, Told(Ctl({"beat", "--pid", "abc"})),
               "1||vigilctl: invalid value 'abc' for --pid\nusage: vigilctl watch");
  // A name with a line feed would inject an order: refused, nothing sent.
  EXPECT_PRED2(
      StartsWith,
      Told(Ctl({"watch", "--pid", "999", "--name", "x\nBEGINMGMT", "--start", "s", "--stop", "k"})),
      "1||vigilctl: name contains a line feed");
  // A program that cannot be run is never registered.
  EXPECT_EQ("127||vigilctl: cannot run /nonexistent/program: No such file or directory\n",
            Told(Ctl({"run", "--", "/nonexistent/program"})));
  EXPECT_EQ(127, Ctl({"run", "--", "no-such-program-anywhere"}).status);
  EXPECT_PRED2(StartsWith, Told(Ctl({"forget", "--help"})), "0|usage: vigilctl watch");

  ASSERT_TRUE(WaitUntil([&] { return At("/processes/0/wset") == 1234; }, 10000));
  const nlohmann::json entry = Entry("keeper"), document = StatusJson();
  EXPECT_EQ(nlohmann::json({keeper, 1000, 2, "watching", 1, 1, 0, 1, port}),
            nlohmann::json({entry["pid"], entry["nomwset"], entry["errors"], entry["state"],
                            document["orders"]["watch"], document["orders"]["msg"],
                            document["protocol_errors"], document["processes"].size(),
                            document["daemon"]["port"]}))
      << "the keeper's pid, nomwset, errors and state; watch and msg orders, protocol errors, "
         "processes (more: the refused watch reached the daemon) and port";

  const std::string table = Told(Ctl({"status"}, false));
  EXPECT_TRUE(StartsWith(table, "0|vigild pid ") && Has(table, "\n" + id + "  keeper  watching"))
      << table;
  EXPECT_FALSE(nlohmann::json::parse(Status().out, nullptr, false).is_discarded());

  const std::string metrics = home.Join("vigild.prom");
  EXPECT_TRUE(Has(ReadAll(metrics), "vigild_orders_total{type=\"watch\"} 1"));
  if (access("/usr/bin/promtool", X_OK) == 0) {
    // Base units only: any complaint fails, a unit lint as much as a format error.
    const std::string report = home.Join("promtool.out");
    EXPECT_EQ(
        0,
        system(("/usr/bin/promtool check metrics < " + metrics + " > " + report + " 2>&1").c_str()))
        << ReadAll(report);
  } else {
    std::cout << "promtool is not installed: the metrics format is checked by status_tests only\n";
  }

  EXPECT_EQ(0, Ctl({"forget", "--pid", id}).status);
  EXPECT_EQ(0, daemon->WaitExit(15000));
  EXPECT_PRED2(StartsWith, Told(Status()), "3||vigilctl: vigild has ended");
  EXPECT_TRUE(Has(ReadAll(metrics), "vigild_up 0"));
}

TEST_F(VigilctlE2ETest, ThirtyTwoClientsKeepOneConnectionAndEveryOrderAndRefusalIsCounted) {
  StartDaemon();
  constexpr int kClients = 32;
  constexpr int kBeats = 40;
  // Live processes to register: the daemon refuses pids with none. With a
  // two-minute heartbeat none of them is ever stopped.
  std::vector<pid_t> sleepers;
  for (int c = 0; c < kClients; ++c) {
    sleepers.push_back(Process());
    ASSERT_GT(sleepers.back(), 0);
  }
  std::atomic<int> failures{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      VigilClient client("127.0.0.1", port, 10000);
      const VigilClient::WatchRequest request{sleepers[static_cast<size_t>(c)],
                                              "load" + std::to_string(c), "true", "true", 120};
      failures += client.Watch(request) != VigilClient::kOk;
      for (int b = 0; b < kBeats; ++b) {
        failures += client.Beat(request.pid, b, 0, 0) != VigilClient::kOk;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
      EXPECT_EQ(1, client.Connections()) << "orders were lost on a connection that broke";
    });
  }
  for (std::thread& client : clients) {
    client.join();
  }
  EXPECT_EQ(0, failures.load());

  // The counters are read as the file is written, the table as the last pass
  // left it: both are waited for.
  const nlohmann::json expected = {kClients * kBeats, kClients, kClients, kBeats - 1, 0};
  nlohmann::json seen;
  ASSERT_TRUE(WaitUntil(
      [&] {
        nlohmann::json document = StatusJson();
        seen = {document["orders"]["msg"], document["orders"]["watch"],
                document["processes"].size(), document["processes"][0]["wset"],
                document["protocol_errors"]};
        return seen == expected;
      },
      10000))
      << seen << ": heartbeats, watch orders, processes, the first one's wset, protocol errors\n"
      << DaemonLog();

  VigilClient raw("127.0.0.1", port);
  ASSERT_EQ(VigilClient::kOk, raw.Forget(3000000));
  ASSERT_TRUE(WaitUntil([&] { return At("/orders/mgmt") == 1; }, 10000));
  const int fd = ConnectTcp(port);
  ASSERT_GE(fd, 0);
  leftOpen.push_back(fd);
  Send(fd, "BEGINBOGUS\nEND;\nBEGINMSG\npserrors: 1\nEND;\n");
  EXPECT_TRUE(WaitUntil([&] { return At("/protocol_errors") == 2; }, 10000)) << StatusJson().dump();

  // A stop signal marks the files as ended, so monitoring that reads them
  // never sees a stopped daemon as running.
  ASSERT_EQ(0, kill(daemon->pid, SIGTERM));
  EXPECT_EQ(0, daemon->WaitExit(5000));
  EXPECT_PRED2(StartsWith, Told(Status()), "3||vigilctl: vigild has ended");
}

#else  // VIGILCTL_E2E_SLOW

TEST_F(VigilctlE2ETest, FailingChildIsRestartedUnderTheWrapperAndASucceedingOneIsForgotten) {
  StartDaemon("GLOBAL.WATCHMGR.RESTARTDELAY=10000\n");  // a pause long enough to watch
  Keeper();
  const pid_t flaky =
      Run({"--wdfreq", "2", "--name", "flaky", "--", "/bin/sh", "-c", "sleep 3; exit 3"}, "flaky");
  const pid_t fine = Run({"--name", "fine", "--", "/bin/sh", "-c", "sleep 1; exit 0"}, "fine");
  long first = -1, second = -1;
  ASSERT_TRUE(WaitUntil([&] { return (first = PidOf("flaky")) > 0; }, 10000))
      << ReadAll(RunErr("flaky"));
  EXPECT_EQ(3, WaitExit(flaky, 15000)) << "the wrapper ends with its child's status";
  EXPECT_EQ(0, WaitExit(fine, 15000));

  // The restart: marked before its 10 s pause, and the file keeps being
  // rewritten through the pause.
  ASSERT_TRUE(WaitUntil([&] { return Entry("flaky")["state"] == "restarting"; }, 15000))
      << DaemonLog();
  const long markedAt = At("/daemon/updated").get<long>();
  EXPECT_TRUE(WaitUntil(
      [&] {
        return At("/daemon/updated") >= markedAt + 4 && Entry("flaky")["state"] == "restarting";
      },
      9000))
      << "the status file went stale during the restart pause";
  EXPECT_EQ(0, Ctl({"status"}, false).status) << "status must see a live daemon during the pause";

  ASSERT_TRUE(WaitUntil([&] { return (second = PidOf("flaky")) > 0 && second != first; }, 20000))
      << DaemonLog();
  EXPECT_EQ(nlohmann::json({{"flaky", 1}}), StatusJson()["restarts"]);
  EXPECT_TRUE(Entry("fine").is_null());
  EXPECT_EQ(1, StatusJson()["orders"]["mgmt"]);
}

#endif
