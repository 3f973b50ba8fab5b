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

  std::vector<std::string> Launched() {
    std::lock_guard<std::mutex> hold(mutex);
    return launched;
  }

  TempDir dir;
  ProgramKeeper::Settings settings;
  WatchedList list;
  std::mutex mutex;  // guards launched: the keeper's thread launches, the test reads
  std::vector<std::string> launched;
  ProgramKeeper::Launcher launcher = [this](String& command, const RunAs*) {
    std::lock_guard<std::mutex> hold(mutex);
    launched.push_back(command.chars());
    return 1;
  };
};

TEST_F(ProgramKeeperTest, OrdersAreForRootAndTheProgramsUserAndReloadForTheDaemonsUser) {
  ProgramKeeper keeper(list, settings, launcher);
  keeper.Load();
  const long daemon = static_cast<long>(geteuid());
  const long other = daemon == 4242 ? 4243 : 4242;
  const struct {
    ProgramKeeper::Verb verb;
    const char* name;
    long uid;
    ProgramKeeper::Verdict verdict;
  } cases[] = {
      {ProgramKeeper::kStop, "web", 0, ProgramKeeper::Accepted},
      {ProgramKeeper::kRestart, "web", daemon, ProgramKeeper::Accepted},
      {ProgramKeeper::kStart, "web", other, ProgramKeeper::NotAllowed},
      {ProgramKeeper::kStop, "web", -1, ProgramKeeper::NotAllowed},
      {ProgramKeeper::kStop, "nosuch", 0, ProgramKeeper::Unknown},
      {ProgramKeeper::kReload, "", daemon, ProgramKeeper::Accepted},
      {ProgramKeeper::kReload, "", other, ProgramKeeper::NotAllowed},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.verdict, keeper.Order(c.verb, c.name, c.uid)) << c.name << " from " << c.uid;
  }
  EXPECT_EQ(0u, Launched().size()) << "nothing runs before the keeper starts";
}

TEST_F(ProgramKeeperTest, AProgramThatNeverRegistersIsStartedOnceAndNamedOnceThenStartsAgain) {
  ProgramKeeper keeper(list, settings, launcher);
  keeper.Load();
  keeper.Start();
  ASSERT_TRUE(WaitUntil([&] { return Launched().size() == 1; }, 2000));
  // Its wrapper has yet to register: an operator's start copies nothing.
  EXPECT_EQ(ProgramKeeper::Accepted, keeper.Order(ProgramKeeper::kStart, "web", 0));
  EXPECT_TRUE(WaitUntil([&] { return Logged(*log, "web has not registered within") == 1; }, 3000));
  EXPECT_EQ(1u, Launched().size());
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  EXPECT_EQ(1u, Logged(*log, "web has not registered within"));
  // Once the wait is over, a start is a start.
  EXPECT_EQ(ProgramKeeper::Accepted, keeper.Order(ProgramKeeper::kStart, "web", 0));
  EXPECT_TRUE(WaitUntil([&] { return Launched().size() == 2; }, 2000));
  keeper.Stop();
}

}  // namespace
