#include "OutputLog.h"
#include "ProgramLogs.h"
#include "TestCommon.h"

namespace {

TEST(OutputLogTest, LinesAreStampedAndRotatedAndThoseAFullDiskOrQueueCannotTakeAreCounted) {
  TempDir dir;
  const std::string path = dir.Join("output.log");
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
  // file_size throws, and so fails the test, for a file that is missing.
  for (const char* name : {"output.log", "output.log.1", "output.log.2"}) {
    EXPECT_LE(std::filesystem::file_size(dir.Join(name)), 4096u) << name;
  }
  EXPECT_FALSE(std::filesystem::exists(dir.Join("output.log.3")));
  const std::string current = ReadAll(dir.Join("output.log"));
  EXPECT_TRUE(current.compare(0, 2, "20") == 0 && current[4] == '-' && current[10] == 'T')
      << current;

  // vigilctl logs: the last lines across the files, oldest first.
  ProgramLogs logs(path);
  std::ostringstream out;
  ASSERT_TRUE(logs.Tail(5, out, &error)) << error;
  // Each line is its time stamp, a space and its text.
  const std::string tail = out.str();
  EXPECT_LT(tail.find(" 16x"), tail.find('\n')) << tail;
  EXPECT_EQ(tail.substr(tail.size() - 9), " partial\n");
  EXPECT_EQ(std::count(tail.begin(), tail.end(), '\n'), 5);
  EXPECT_FALSE(ProgramLogs(dir.Join("absent.log")).Tail(5, out, &error));

  OutputLog full("/dev/full", 1L << 30, 1);
  ASSERT_TRUE(full.Open(&error)) << error;
  const auto start = NowMs();
  for (int i = 0; i < 1000; ++i) {
    full.Feed("a line\n", 7);
  }
  full.Close();
  EXPECT_EQ(full.Dropped(), 1000u);
  EXPECT_LT(NowMs() - start, 5000);

  // Nobody reads the pipe at first: the writer blocks on it, the queue fills, and whatever does
  // not fit must be counted. The reader starts once all is fed, or after 3 s if a Feed waits.
  const std::string pipe = dir.Join("pipe.log");
  ASSERT_EQ(0, mkfifo(pipe.c_str(), 0600));
  const int reader = open(pipe.c_str(), O_RDONLY | O_NONBLOCK);
  OutputLog blocked(pipe, 1L << 30, 1);
  ASSERT_TRUE(blocked.Open(&error)) << error;
  fcntl(reader, F_SETFL, 0);
  std::atomic<bool> allFed{false};
  std::string text;
  std::thread drain([&] {
    WaitUntil([&] { return allFed.load(); }, 3000);
    char buffer[65536];
    for (ssize_t n; (n = read(reader, buffer, sizeof buffer)) > 0;) {
      text.append(buffer, static_cast<size_t>(n));
    }
  });
  const std::string longLine = std::string(OutputLog::kMaxLine - 1, 'y') + "\n";
  for (size_t fed = 0; fed < 4 * OutputLog::kQueueBytes; fed += longLine.size()) {
    blocked.Feed(longLine.data(), longLine.size());
  }
  allFed = true;
  blocked.Close();
  drain.join();
  close(reader);
  const size_t fedLines = (4 * OutputLog::kQueueBytes + longLine.size() - 1) / longLine.size();
  const size_t written = static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
  EXPECT_GT(blocked.Dropped(), 0u);
  EXPECT_EQ(written - 1 + blocked.Dropped(), fedLines);
}

}  // namespace
