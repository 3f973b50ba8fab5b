#include <sys/un.h>

#include "CapturingLogDevice.h"
#include "FakeServiceManager.h"
#include "LogServer.h"
#include "ServiceNotifier.h"
#include "TestCommon.h"

namespace {

std::string Describe(const ServiceNotifier::Settings& s) {
  return s.address + " " + std::to_string(s.watchdogUs) + (s.problem.empty() ? "" : " !");
}

class ServiceNotifierTest : public ::testing::Test {
 protected:
  void TearDown() override { LogServer::DeleteInstance(); }

  // The warnings logged so far, one a line, once no more are expected; there must be count.
  std::string Warnings(size_t count) {
    EXPECT_TRUE(WaitUntil([&] { return log->Messages(Warning).size() >= count; }, 5000));
    usleep(100 * 1000);
    std::string all;
    for (const std::string& message : log->Messages(Warning)) {
      all += message + "\n";
    }
    EXPECT_EQ(log->Messages(Warning).size(), count) << all;
    return all;
  }
  std::shared_ptr<CapturingLogDevice::Log> log = CapturingLogDevice::Install(LogServer::Instance());
  TempDir dir;
};

TEST_F(ServiceNotifierTest, SettingsTakeWhatTheServiceManagerWritesRefuseTheRestAndLeaveNoTrace) {
  // The longest path and abstract name a socket address holds (with its zero), and one more.
  const std::string longest(sizeof(sockaddr_un::sun_path) - 1, 'p');
  const std::string path = "/" + longest.substr(1), abstract = "@" + longest;
  const std::string pathTooLong = path + "p", abstractTooLong = abstract + "p";
  struct {
    const char *socket, *usec, *pid;
    std::string settings;
  } const cases[] = {
      {nullptr, "2000000", nullptr, " 0"},
      {"", "2000000", nullptr, " 0"},
      {"/run/systemd/notify", nullptr, nullptr, "/run/systemd/notify 0"},
      {"@vigild/notify", "30000000", nullptr, "@vigild/notify 30000000"},
      {"/run/n", "2000000", "4242", "/run/n 2000000"},
      {"/run/n", "2000000", "4243", "/run/n 0"},  // an ancestor's watchdog
      {"/run/n", "2000000", "42x", "/run/n 0 !"},
      {"/run/n", "2000000", "-4242", "/run/n 0 !"},
      {"/run/n", "2000000", "", "/run/n 0 !"},
      {"/run/n", "0", nullptr, "/run/n 0 !"},
      {"/run/n", " 5", nullptr, "/run/n 0 !"},
      {"/run/n", "5s", nullptr, "/run/n 0 !"},
      {"/run/n", "", nullptr, "/run/n 0 !"},
      {"/run/n", "99999999999999999999999", nullptr, "/run/n 0 !"},
      {"/run/n", "31622400000000", nullptr, "/run/n 31622400000000"},  // a year
      {"/run/n", "31622400000001", nullptr, "/run/n 0 !"},             // past a year
      {"/run/n", "1", nullptr, "/run/n 1"},
      {"run/n", "2000000", nullptr, " 0 !"},
      {"@", nullptr, nullptr, " 0 !"},
      {path.c_str(), nullptr, nullptr, path + " 0"},
      {abstract.c_str(), nullptr, nullptr, abstract + " 0"},
      {pathTooLong.c_str(), nullptr, nullptr, " 0 !"},
      {abstractTooLong.c_str(), nullptr, nullptr, " 0 !"},
  };
  for (const auto& c : cases) {
    const auto s = ServiceNotifier::Parse(c.socket, c.usec, c.pid, 4242);
    EXPECT_EQ(Describe(s), c.settings) << "row " << &c - cases << ": " << s.problem;
  }
  // Taken from the environment, the variables are left for no command the daemon starts.
  setenv("NOTIFY_SOCKET", "@vigild-test", 1);
  setenv("WATCHDOG_USEC", "5000000", 1);
  setenv("WATCHDOG_PID", std::to_string(getpid()).c_str(), 1);
  EXPECT_EQ(Describe(ServiceNotifier::TakeFromEnvironment()), "@vigild-test 5000000");
  for (const char* name : {"NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID"}) {
    EXPECT_EQ(getenv(name), nullptr) << name;
  }
}

// One datagram each, at a path or an abstract name: the status with line breaks flattened, and a
// ping on the first pass once a quarter of the interval has passed.
TEST_F(ServiceNotifierTest, StatusGoesOutOnChangeAndPingsAtLeastTwicePerInterval) {
  struct {
    const char* usec;
    std::vector<int64_t> passesMs;
    std::string pinged;  // 'p' for a pass that pings, '.' for one that does not
  } const cases[] = {
      {nullptr, {0, 1000, 2000, 60000}, "...."},  // no watchdog asked for
      {"30000000", {0, 1000, 2000, 7000, 7499, 7500, 8500, 14999, 15000}, "p....p..p"},
      {"2000000", {0, 1000, 2000, 2499, 3000, 4100}, "ppp.pp"},
      {"1000000", {0, 1000, 1250, 1400, 2400}, "ppp.p"},
      {"500", {0, 1, 2, 3}, "pppp"},  // under a millisecond: one
  };
  int n = 0;
  for (const auto& c : cases) {
    const std::string address =
        n++ % 2 == 0 ? dir.Join("notify") : "@vigild-test-" + std::to_string(getpid());
    SCOPED_TRACE(address + " " + (c.usec != nullptr ? c.usec : "(none)"));
    FakeServiceManager manager(address);
    ASSERT_TRUE(manager.Bound());
    int64_t now = 0;
    ServiceNotifier notifier([&now] { return now; });
    ASSERT_TRUE(notifier.Open(ServiceNotifier::Parse(address.c_str(), c.usec, nullptr, 1)));
    EXPECT_TRUE(notifier.Enabled());
    EXPECT_TRUE(notifier.Ready());
    std::string expected = "READY=1\n";
    for (size_t i = 0; i < c.passesMs.size(); ++i) {
      now = c.passesMs[i];
      notifier.PassDone(i < 2 ? "1 watched" : "2 watched,\n0 failed");
      expected += i == 0 ? "STATUS=1 watched\n" : i == 2 ? "STATUS=2 watched, 0 failed\n" : "";
      expected += c.pinged[i] == 'p' ? "WATCHDOG=1\n" : "";
      ASSERT_TRUE(WaitUntil([&] { return manager.Texts() == expected; }, 5000)) << manager.Texts();
    }
    EXPECT_TRUE(notifier.Stopping());
    now += 10000;
    notifier.PassDone("0 watched");  // the pass the stop signal interrupted
    ASSERT_TRUE(manager.WaitFor("STOPPING=1", 5000));
    usleep(50 * 1000);
    EXPECT_EQ(manager.Texts(), expected + "STOPPING=1\n");
  }
}

// Unopened, or opened without an address, a notifier logs nothing; a manager that was not there
// gets the messages once it is back.
TEST_F(ServiceNotifierTest, WarnsOnceOfRefusedVariablesShortIntervalsAndEachRunOfFailedSends) {
  ServiceNotifier unopened, none, refused, shortInterval, fine, unheard;
  EXPECT_FALSE(none.Open(ServiceNotifier::Parse(nullptr, "2000000", nullptr, getpid())));
  for (ServiceNotifier* notifier : {&unopened, &none}) {
    EXPECT_EQ(std::make_tuple(false, int64_t{0}, false, false),
              std::make_tuple(notifier->Enabled(), notifier->WatchdogMs(), notifier->Ready(),
                              notifier->Stopping()));
    notifier->PassDone("1 watched");
  }
  EXPECT_EQ(Warnings(0), "");
  EXPECT_FALSE(refused.Open(ServiceNotifier::Parse("relative", nullptr, nullptr, 1)));
  EXPECT_TRUE(shortInterval.Open(ServiceNotifier::Parse("/run/n", "1500000", nullptr, 1)));
  EXPECT_EQ(shortInterval.WatchdogMs(), 1500);
  EXPECT_TRUE(fine.Open(ServiceNotifier::Parse("/run/n", "2000000", nullptr, 1)));
  EXPECT_EQ(fine.WatchdogMs(), 2000);
  const std::string path = dir.Join("notify");
  ASSERT_TRUE(unheard.Open(ServiceNotifier::Parse(path.c_str(), "4000000", nullptr, 1)));
  EXPECT_FALSE(unheard.Ready());
  unheard.PassDone("0 watched");
  unheard.PassDone("0 watched");
  const std::string warnings = Warnings(3);
  for (const std::string& part :
       std::vector<std::string>{"NOTIFY_SOCKET 'relative' is neither",
                                "interval of 1500 ms is shorter than two supervision passes",
                                "cannot send READY=1 to the service manager at " + path}) {
    EXPECT_NE(warnings.find(part), std::string::npos) << part << " not in " << warnings;
  }
  {
    FakeServiceManager manager(path);
    ASSERT_TRUE(manager.Bound());
    unheard.PassDone("0 watched");
    // The status never sent and the first ping go out now.
    ASSERT_TRUE(manager.WaitFor("WATCHDOG=1", 5000));
    EXPECT_EQ(manager.Texts(), "STATUS=0 watched\nWATCHDOG=1\n");
  }
  // Refused twice, then heard, then refused again: the second run warns again.
  EXPECT_FALSE(unheard.Stopping());
  EXPECT_FALSE(unheard.Stopping());
  {
    FakeServiceManager back(path);
    ASSERT_TRUE(back.Bound());
    EXPECT_TRUE(unheard.Ready());
  }
  EXPECT_FALSE(unheard.Stopping());
  Warnings(5);
}

}  // namespace
