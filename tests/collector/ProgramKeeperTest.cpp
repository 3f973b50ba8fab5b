#include "LoggedCount.h"
#include "ProgramKeeper.h"
#include "WatchedList.h"

namespace {

class ProgramKeeperTest : public LoggingTest {
 protected:
  ProgramKeeperTest() {
    LogServer::Instance()->setAcceptSeverityUpTo(Warning);
    mkdir(dir.Join("programs").c_str(), 0755);
    dir.WriteFile("programs/web.conf", "command = /bin/sleep 60\n");
    settings.directory = dir.Join("programs");
    settings.logDirectory = dir.Join("log");
    settings.stateFile = dir.Join("stopped");
    settings.daemonUid = geteuid();
    settings.settleMs = 0;
    settings.registerWaitMs = 400;
  }

  TempDir dir;
  ProgramKeeper::Settings settings;
  WatchedList list;
  std::atomic<int> launched{0};  // the keeper's thread launches, the test reads
  ProgramKeeper::Launcher launcher = [this](String&, const RunAs*) {
    ++launched;
    return 1;
  };
};

TEST_F(ProgramKeeperTest, OrdersAreForRootAndTheProgramsUserAndReloadForTheDaemonsUser) {
  ProgramKeeper keeper(list, settings, launcher);
  keeper.Load();
  const long daemon = static_cast<long>(geteuid());
  const long other = daemon == 4242 ? 4243 : 4242;
  const std::tuple<ProgramKeeper::Verb, const char*, long, ProgramKeeper::Verdict> cases[] = {
      {ProgramKeeper::kStop, "web", 0, ProgramKeeper::Accepted},
      {ProgramKeeper::kRestart, "web", daemon, ProgramKeeper::Accepted},
      {ProgramKeeper::kStart, "web", other, ProgramKeeper::NotAllowed},
      {ProgramKeeper::kStop, "web", -1, ProgramKeeper::NotAllowed},
      {ProgramKeeper::kStop, "nosuch", 0, ProgramKeeper::Unknown},
      {ProgramKeeper::kReload, "", daemon, ProgramKeeper::Accepted},
      {ProgramKeeper::kReload, "", other, ProgramKeeper::NotAllowed},
  };
  for (const auto& [verb, name, uid, verdict] : cases) {
    EXPECT_EQ(verdict, keeper.Order(verb, name, uid)) << name << " from " << uid;
  }
  EXPECT_EQ(0, launched.load()) << "nothing runs before the keeper starts";
}

TEST_F(ProgramKeeperTest, AProgramThatNeverRegistersIsStartedOnceAndNamedOnceThenStartsAgain) {
  ProgramKeeper keeper(list, settings, launcher);
  keeper.Load();
  keeper.Start();
  ASSERT_TRUE(WaitUntil([&] { return launched.load() == 1; }, 2000));
  // Its wrapper has yet to register: an operator's start copies nothing.
  EXPECT_EQ(ProgramKeeper::Accepted, keeper.Order(ProgramKeeper::kStart, "web", 0));
  EXPECT_TRUE(WaitUntil([&] { return Logged(*log, "web has not registered within") == 1; }, 3000));
  EXPECT_EQ(1, launched.load());
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  EXPECT_EQ(1u, Logged(*log, "web has not registered within"));
  // Once the wait is over, a start is a start.
  EXPECT_EQ(ProgramKeeper::Accepted, keeper.Order(ProgramKeeper::kStart, "web", 0));
  EXPECT_TRUE(WaitUntil([&] { return launched.load() == 2; }, 2000));
  keeper.Stop();
}

}  // namespace
