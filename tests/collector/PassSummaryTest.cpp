#include "FakeServiceManager.h"
#include "ListenPort.h"
#include "LogServer.h"
#include "ServiceNotifier.h"
#include "WatchedList.h"

namespace {

WatchedItem Item(int pid, const std::string& name, WatchState state) {
  WatchedItem item;
  item.info.pid = pid;
  item.settings.psName = name.c_str();
  item.state = state;
  return item;
}

TEST(PassSummaryTest, CountsWatchedProcessesAndNamesRestartingOrFailed) {
  std::map<int, WatchedItem> table;
  ProgramTable programs;
  EXPECT_EQ(PassSummary::Of(table, programs).Line(), "0 watched, 0 restarting, 0 failed");
  for (const WatchedItem& item :
       {Item(10, "web", ItemWatching), Item(11, "web", ItemWaiting), Item(12, "db", ItemWatching),
        Item(13, "db", ItemWatching), Item(14, "cron", ItemRestarting),
        Item(15, "mail", ItemFinished)}) {
    table[item.info.pid] = item;
    programs.Registered(item, 0, 1000);
  }
  programs.Registered(Item(16, "gone", ItemWatching), 0, 1000);  // started, not registered yet
  programs.SetSettings({100, 600 * 1000, 300 * 1000, 1});
  const WatchedItem dead = Item(17, "dead", ItemWatching);
  programs.Registered(dead, 0, 1000);
  for (int stop = 0; stop < 3; ++stop) {
    programs.RestartBegins(dead, Errors, "", stop);
    programs.Stopped(dead, stop);
  }
  EXPECT_EQ(PassSummary::Of(table, programs).Line(), "3 watched, 4 restarting, 1 failed");
}

// Passes 50 ms apart feed a 400 ms watchdog about every 100 ms; a pass held up at the table's
// mutex (a client or a worker that never lets go) sends nothing.
TEST(PassSummaryTest, EveryPassFeedsTheWatchdogAndAHeldPassStopsIt) {
  TempDir dir;
  FakeServiceManager manager(dir.Join("notify"));
  ASSERT_TRUE(manager.Bound());
  ServiceNotifier notifier;
  ASSERT_TRUE(notifier.Open(ServiceNotifier::Parse(manager.path.c_str(), "400000", nullptr, 1)));
  WatchedList::Waits waits;
  waits.passSleepMs = 50;
  WatchedList list(nullptr, waits);
  list.SetPassListener([&](const PassSummary& summary) { notifier.PassDone(summary.Line()); });
  WatchedItem anchor = Item(getpid(), "anchor", ItemWatching);  // no test on: never wrong
  list.CreateNewWatch(anchor);
  ListenPort port;
  port.state = ListenPort::kRunning;
  std::thread loop([&] { list.ProcessBlock(&port); });

  ASSERT_TRUE(manager.WaitFor("STATUS=1 watched, 0 restarting, 0 failed", 5000));
  ASSERT_TRUE(WaitUntil([&] { return manager.Times("WATCHDOG=1").size() >= 4; }, 5000));
  list.Lock();
  const int64_t heldAt = NowMs();
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  const int64_t releasedAt = NowMs();
  list.Unlock();
  EXPECT_TRUE(WaitUntil([&] { return manager.Times("WATCHDOG=1").back() > releasedAt; }, 5000));
  port.state = ListenPort::kStopping;
  loop.join();

  // A pass already past the mutex when it was taken may still ping, none after that.
  size_t whileHeld = 0;
  std::string times;
  for (int64_t at : manager.Times("WATCHDOG=1")) {
    whileHeld += at > heldAt + 300 && at < releasedAt ? 1 : 0;
    times += std::to_string(at - heldAt) + " ";
  }
  EXPECT_EQ(whileHeld, 0u) << times << " released at " << releasedAt - heldAt;
  LogServer::DeleteInstance();
}

}  // namespace
