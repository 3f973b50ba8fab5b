#include "OutputLog.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <sstream>
#include <string>

#include "ProgramLogs.h"
#include "TempDir.h"
#include "TestWaits.h"

namespace {

std::string Lines(const std::string& text) {
  // The text of each line without its time stamp, one per line.
  std::istringstream in(text);
  std::string out;
  for (std::string line; std::getline(in, line);) {
    out += line.substr(line.find(' ') + 1) + "\n";
  }
  return out;
}

TEST(OutputLogTest, LinesAreStampedRotatedBySizeAndTheOldestGo) {
  TempDir dir;
  const std::string path = dir.Join("output.log");
  {
    OutputLog log(path, 4096, 2);
    std::string error;
    ASSERT_TRUE(log.Open(&error)) << error;
    const std::string line(1000, 'x');
    for (int i = 0; i < 20; ++i) {
      const std::string text = std::to_string(i) + line + "\n";
      // Split anywhere: lines are cut at line feeds only.
      log.Feed(text.data(), 7);
      log.Feed(text.data() + 7, text.size() - 7);
    }
    log.Feed("partial", 7);
    log.Close();
    EXPECT_EQ(log.Dropped(), 0u);
  }
  struct stat status {};
  for (const char* name : {"output.log", "output.log.1", "output.log.2"}) {
    ASSERT_EQ(stat(dir.Join(name).c_str(), &status), 0) << name;
    EXPECT_LE(status.st_size, 4096) << name;
  }
  EXPECT_NE(stat(dir.Join("output.log.3").c_str(), &status), 0);
  const std::string current = ReadAll(dir.Join("output.log"));
  EXPECT_TRUE(current.compare(0, 2, "20") == 0 && current[4] == '-' && current[10] == 'T')
      << current;
  EXPECT_EQ(Lines(current).substr(Lines(current).size() - 8), "partial\n");

  // vigilctl logs: the last lines across the files, oldest first.
  ProgramLogs logs(path);
  std::ostringstream out;
  std::string why;
  ASSERT_TRUE(logs.Tail(5, out, &why)) << why;
  const std::string tail = Lines(out.str());
  EXPECT_EQ(tail.substr(0, 3), "16x") << tail;
  EXPECT_EQ(tail.substr(tail.size() - 8), "partial\n");
  EXPECT_EQ(std::count(tail.begin(), tail.end(), '\n'), 5);
  EXPECT_FALSE(ProgramLogs(dir.Join("absent.log")).Tail(5, out, &why));
}

TEST(OutputLogTest, AFullDiskDropsAndCountsLinesWithoutBlocking) {
  OutputLog log("/dev/full", 1L << 30, 1);
  std::string error;
  ASSERT_TRUE(log.Open(&error)) << error;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 1000; ++i) {
    log.Feed("a line\n", 7);
  }
  log.Close();
  EXPECT_EQ(log.Dropped(), 1000u);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(OutputLogTest, OutputBeyondTheQueueIsDroppedNotWaitedFor) {
  TempDir dir;
  OutputLog log(dir.Join("output.log"), 1L << 30, 1);
  std::string error;
  ASSERT_TRUE(log.Open(&error)) << error;
  // Four times the queue in one go: the writer cannot keep up with a
  // producer that never waits, and whatever does not fit is counted.
  const std::string chunk(OutputLog::kMaxLine - 1, 'y');
  const std::string line = chunk + "\n";
  for (size_t fed = 0; fed < 4 * OutputLog::kQueueBytes; fed += line.size()) {
    log.Feed(line.data(), line.size());
  }
  log.Close();
  const size_t fedLines = (4 * OutputLog::kQueueBytes + line.size() - 1) / line.size();
  const std::string text = ReadAll(dir.Join("output.log"));
  const size_t written = static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
  EXPECT_EQ(written - (log.Dropped() > 0 ? 1 : 0) + log.Dropped(), fedLines);
}

}  // namespace
