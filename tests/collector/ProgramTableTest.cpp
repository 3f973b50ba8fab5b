#include "ProgramTable.h"
#include "TestCommon.h"

namespace {

WatchedItem Named(const std::string& name, const std::string& start = "start it") {
  WatchedItem item;
  item.settings.psName = name.c_str();
  item.settings.psStart = start.c_str();
  return item;
}

// The delays of successive stops of one name 1 ms apart; -1 for a stop that failed the name.
std::vector<long> Delays(ProgramTable& programs, const WatchedItem& item, int stops,
                         int64_t from = 0) {
  std::vector<long> delays;
  for (int i = 0; i < stops; ++i) {
    const ProgramTable::Decision decision = programs.Stopped(item, from + i);
    delays.push_back(decision.failed ? -1 : decision.delayMs);
  }
  return delays;
}

}  // namespace

TEST(ProgramTableTest, DelaysDoubleWithinTheWindowUpToTheCapWithJitterThenTheNameFails) {
  const RestartSettings settings{100, 600 * 1000, 1000, 6};  // first delay, window, cap, limit
  const std::pair<double, std::vector<long>> cases[] = {
      {0.0, {100, 200, 400, 800, 1000, 1000, -1, -1}},
      {1.0, {100, 220, 440, 880, 1000, 1000, -1, -1}},
      {-1.0, {100, 180, 360, 720, 1000, 1000, -1, -1}},
  };
  for (const auto& [jitter, delays] : cases) {
    ProgramTable programs(settings, [played = jitter] { return played; });
    const WatchedItem item = Named("crashy");
    programs.Registered(item, 0, 1000);
    EXPECT_EQ(delays, Delays(programs, item, 8)) << jitter;
    // Another name keeps its own history.
    EXPECT_EQ(std::vector<long>{100}, Delays(programs, Named("calm"), 1));
  }
}

TEST(ProgramTableTest, AQuietWindowStartsTheDelaysAfreshAndALimitOfZeroNeverFails) {
  RestartSettings settings{100, 10000, 300 * 1000, 0};
  ProgramTable programs(settings, [] { return 0.0; });
  const WatchedItem item = Named("app");
  EXPECT_EQ((std::vector<long>{100, 200, 400}), Delays(programs, item, 3));
  // One restart still within the window at 10001 (the one at 2), none at 10002 + 10000.
  EXPECT_EQ(std::vector<long>{200}, Delays(programs, item, 1, 10001));
  EXPECT_EQ(std::vector<long>{100}, Delays(programs, item, 1, 30000));
  EXPECT_EQ(settings.maxDelayMs, Delays(programs, item, 40, 40000).back()) << "capped, not failed";

  // A first delay equal to the cap is a fixed pause: the jitter cannot move it.
  settings.firstDelayMs = settings.maxDelayMs = 10000;
  ProgramTable fixed(settings, [] { return -1.0; });
  EXPECT_EQ(std::vector<long>(5, 10000), Delays(fixed, item, 5));
}

TEST(ProgramTableTest, ResetAndANewRegistrationClearAFailureButOnlyResetHandsBackTheStart) {
  ProgramTable programs(RestartSettings{100, 600 * 1000, 300 * 1000, 2}, [] { return 0.0; });
  WatchedItem item = Named("app", "run app");
  item.ownerUid = 1000;
  programs.Registered(item, 0, 1);
  EXPECT_EQ((std::vector<long>{100, 200, -1}), Delays(programs, item, 3));

  WatchedItem start;
  EXPECT_FALSE(programs.Reset("nobody-knows", &start));
  EXPECT_TRUE(programs.Reset("app", &start));
  EXPECT_EQ(std::string("run app"), start.settings.psStart.chars());
  EXPECT_EQ(1000, start.ownerUid);
  EXPECT_FALSE(programs.Find("app")->failed);
  EXPECT_EQ((std::vector<long>{100, 200, -1}), Delays(programs, item, 3, 100));

  // Registered again by hand while failed: a fresh start, with its whole history gone.
  programs.Registered(item, 300, 2);
  EXPECT_EQ((std::vector<long>{100, 200}), Delays(programs, item, 2, 300));
  // A registration that is a restarted process's own keeps the history: the delays go on, and
  // the start that was waiting is no longer pending.
  programs.Registered(item, 400, 3);
  EXPECT_EQ(-1, programs.Find("app")->startAtMs);
  EXPECT_EQ(std::vector<long>{-1}, Delays(programs, item, 1, 400));
  // A reset of a name that has not failed clears its history but starts nothing.
  programs.Registered(item, 500, 4);
  Delays(programs, item, 1, 500);
  start = WatchedItem();
  EXPECT_FALSE(programs.Reset("app", &start));
  EXPECT_EQ(std::string(""), start.settings.psStart.chars());
  EXPECT_EQ(std::vector<long>{100}, Delays(programs, item, 1, 600));
}

TEST(ProgramTableTest, InventedNamesBeyondTheBoundPushOutTheOldestButNeverAFailedOne) {
  ProgramTable programs(RestartSettings{100, 600 * 1000, 300 * 1000, 1}, [] { return 0.0; });
  const WatchedItem failing = Named("failing");
  programs.Registered(failing, 0, 1);
  ASSERT_EQ((std::vector<long>{100, -1}), Delays(programs, failing, 2));
  for (size_t i = 0; i < ProgramTable::kMaxNames + 10; ++i) {
    programs.Registered(Named("n" + std::to_string(i)), 10 + static_cast<int64_t>(i), 1);
  }
  EXPECT_EQ(ProgramTable::kMaxNames, programs.Records().size());
  EXPECT_NE(nullptr, programs.Find("failing"));
  EXPECT_EQ(nullptr, programs.Find("n0"));
  EXPECT_NE(nullptr, programs.Find("n" + std::to_string(ProgramTable::kMaxNames + 9)));
}

// A start an operator's stop dropped was never launched.
TEST(ProgramTableTest, AStartIsUnderWayFromItsLaunchUntilARegistrationOrTheWaitEnds) {
  ProgramTable programs;
  const WatchedItem item = Named("app");
  programs.Registered(item, 0, 1);
  programs.Stopped(item, 10);
  EXPECT_FALSE(programs.StartUnderWay("app", 20, 1000));
  programs.StartDropped("app");
  EXPECT_FALSE(programs.StartUnderWay("app", 20, 1000));
  EXPECT_EQ(-1, programs.Find("app")->startAtMs);
  programs.Started("app", 200);
  EXPECT_TRUE(programs.StartUnderWay("app", 200, 1000));
  EXPECT_TRUE(programs.StartUnderWay("app", 1199, 1000));
  EXPECT_FALSE(programs.StartUnderWay("app", 1200, 1000));
  EXPECT_FALSE(programs.StartUnderWay("other", 200, 1000));
}
