#include <nlohmann/json.hpp>

#include "LoggedCount.h"
#include "OrderCounters.h"
#include "StatusWriter.h"

namespace {

class StatusWriterTest : public LoggingTest {
 protected:
  TempDir dir;
  OrderCounters counters;
  StatusWriter::Settings settings;
};

}  // namespace

// Others who may write to the directory can plant files at the names the
// writer uses: the operator hears of it once, at start, for each such one.
TEST_F(StatusWriterTest, StartWarnsOfADirectoryOthersCanWriteTo) {
  const std::pair<mode_t, size_t> kCases[] = {{0755, 0}, {0775, 1}, {0757, 1}, {01777, 1}};
  for (const auto& [mode, warnings] : kCases) {
    const std::string sub = dir.Join("m" + std::to_string(mode));
    ASSERT_EQ(0, mkdir(sub.c_str(), 0700));
    ASSERT_EQ(0, chmod(sub.c_str(), mode));
    settings.statusFile = sub + "/status.json";
    log->Clear();
    StatusWriter writer(settings, counters);
    ASSERT_TRUE(writer.Start());
    writer.Stop();
    EXPECT_EQ(warnings,
              Logged(*log, "the status directory " + sub, "is writable by group or others"))
        << std::oct << mode;
  }
}

TEST_F(StatusWriterTest, WriteFailureIsLoggedOncePerRunOfFailures) {
  const std::string blocker = dir.Join("plain-file");
  dir.WriteFile("plain-file", "x");
  // A directory that cannot exist: its parent is a regular file.
  settings.statusFile = blocker + "/status.json";
  settings.periodMs = 50;
  StatusWriter writer(settings, counters);
  ASSERT_TRUE(writer.Start());
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(1u, Logged(*log, "cannot create a temporary file"));

  // The directory appears: writing resumes and says so once.
  ASSERT_EQ(0, unlink(blocker.c_str()));
  ASSERT_EQ(0, mkdir(blocker.c_str(), 0755));
  EXPECT_TRUE(
      WaitUntil([&] { return nlohmann::json::accept(ReadAll(settings.statusFile)); }, 3000));
  writer.Stop();
  EXPECT_EQ(1u, Logged(*log, "again"));
}

// A pass that changes nothing shown leaves both files alone; a change in the table or in the
// order counters is written at the next pass, and a quiet daemon still writes once a period. The
// status file's directory is made at start.
TEST_F(StatusWriterTest, FilesAreRewrittenWhenWhatTheyShowChangesAndOncePerPeriodOtherwise) {
  settings.statusFile = dir.Join("sub/status.json");
  settings.metricsFile = dir.Join("metrics.prom");
  settings.periodMs = 700;
  StatusWriter writer(settings, counters);
  std::map<int, WatchedItem> table;
  table[11].info.pid = 11;
  writer.PassEnded(table);
  ThreadLauncher::_TestAPI_FailNextDetach();  // the thread runs all the same, and Stop waits for it
  ASSERT_TRUE(writer.Start());
  // Every file once published is a new inode; holding the last one open keeps its number from
  // being taken by a later file.
  int held = -1;
  const auto rewritten = [&](const std::string& path) {
    struct stat now = {}, before = {};
    if (stat(path.c_str(), &now) != 0 ||
        (held >= 0 && fstat(held, &before) == 0 && before.st_ino == now.st_ino)) {
      return false;
    }
    close(held);
    held = open(path.c_str(), O_RDONLY);
    return true;
  };
  rewritten(settings.statusFile);
  const auto passes = [&](int count) {
    int writes = 0;
    for (int i = 0; i < count; ++i) {
      writer.PassEnded(table);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      writes += rewritten(settings.statusFile) ? 1 : 0;
    }
    return writes;
  };
  // About 1.5 s of identical passes: the period's writes only.
  const int quiet = passes(150);
  EXPECT_TRUE(quiet >= 1 && quiet <= 3) << quiet;
  const std::function<void()> kChanges[] = {
      [&] { table[11].info.psWSet = 5; },
      [&] { table[12].info.pid = 12; },
      [&] { counters.CountExecuted(OrderCounters::kMsg); },
  };
  for (const auto& change : kChanges) {
    change();
    EXPECT_GE(passes(8), 1);  // a wake-up's room on a loaded host, well inside the period
    EXPECT_LE(passes(12), 1);
  }
  // Stopping writes once more: every pass counted, and the daemon shown as ended.
  writer.Stop();
  const nlohmann::json doc = nlohmann::json::parse(ReadAll(settings.statusFile));
  EXPECT_EQ(
      nlohmann::json({2, 5, 1, 1 + 150 + 3 * (8 + 12), false}),
      nlohmann::json({doc["processes"].size(), doc["processes"][0]["wset"], doc["orders"]["msg"],
                      doc["daemon"]["passes"], doc["daemon"]["running"]}));
  EXPECT_EQ(std::filesystem::perms(0644),
            std::filesystem::status(settings.statusFile).permissions());
  EXPECT_NE(std::string::npos, ReadAll(settings.metricsFile).find("vigild_watched_processes 2"));
  close(held);
}
