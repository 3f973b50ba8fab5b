#include "LogDeviceConsole.h"
#include "StderrCapture.h"

namespace {

Handle<LogMessage> Line(LogSeverityCode severity, const std::string& text) {
  Handle<LogMessage> record(new LogMessage(severity, 1796379072u, "VIGILD-1:0", "", ""));
  record->append(text.c_str());
  return record;
}

TEST(LogDeviceConsoleTest, LineShowsTimeChannelPrefixTagTabAndMessageOnTheRightStream) {
  const time_t seconds = 1796379072;  // 2026-12-04 10:11:12 UTC
  tm local{};
  char stamp[32];
  strftime(stamp, sizeof stamp, "%Y/%m/%d %H:%M:%S", localtime_r(&seconds, &local));
  // severity, channel, written on stderr, what precedes the tag
  const std::tuple<LogSeverityCode, int, bool, const char*> cases[] = {
      {Fatal, 0, true, "FATAL:  "},        {Error, 0, true, "FATAL:  "},
      {Warning, 0, true, "ERRMaj: "},      {Info, -2, false, "Warning:"},
      {Info, 3, false, "(ch=3) Warning:"}, {Debug1, 0, false, "Dbg=1:  "}};
  for (const auto& [severity, channel, onStderr, prefix] : cases) {
    SCOPED_TRACE(prefix);
    auto record = Line(severity, "[ListenPort::StartBlock] WARNING : accept failed: ");
    record->channel = channel;
    LogDeviceConsole console;
    StdoutCapture out;
    StderrCapture err;
    EXPECT_TRUE(console.ProcessMessage(record, false));
    EXPECT_TRUE(console.Drain(5000));
    const std::string line = "[" + std::string(stamp) + "] " + prefix +
                             "[ListenPort::StartBlock]\tWARNING : accept failed: \n";
    EXPECT_EQ(err.Stop() + "|" + out.Stop(), onStderr ? line + "|" : "|" + line);
  }
}

// Standard output is a pipe nobody reads: no line is lost without being counted,
// and the count is written once the reader is back.
TEST(LogDeviceConsoleTest, BlockedConsoleDropsAndCountsLinesAndNeverHoldsTheCaller) {
  constexpr int kLines = 20000;
  int ends[2];
  // The pipe starts full, so the first line stays in the writer's hands.
  ASSERT_TRUE(FullPipe(ends));
  const int saved = dup(1);
  dup2(ends[1], 1);
  std::string text;
  LogDeviceConsole console;
  auto first = Line(Info, "[Test] first");
  console.ProcessMessage(first, true);
  // Checked once standard output is back: a failure printed into the full pipe would hang.
  const bool drainedEarly = console.Drain(300);
  std::atomic<bool> done{false};
  std::thread producer([&] {
    for (int i = 0; i < kLines; ++i) {
      auto record = Line(Info, "[Test] line " + std::to_string(i));
      console.ProcessMessage(record, true);
    }
    done = true;
  });
  const bool finished = WaitUntil([&] { return done.load(); }, 10000, 10);
  std::thread reader([&] { text = ReadToEnd(ends[0]); });
  producer.join();
  EXPECT_TRUE(console.Drain(10000));
  dup2(saved, 1);
  EXPECT_TRUE(finished) << "the caller waited on the console";
  EXPECT_FALSE(drainedEarly) << "drained while the writer held an unwritten line";
  close(saved);
  close(ends[1]);
  reader.join();
  close(ends[0]);
  // Every drop note counts the lines refused since the one before.
  const std::string note = " console lines dropped while the console took no output";
  size_t written = 0, dropped = 0;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    const size_t end = line.find(note);
    written += line.find("]\tline ") != std::string::npos;
    dropped += end == std::string::npos ? 0 : std::stoul(line.substr(line.rfind(' ', end - 1) + 1));
  }
  EXPECT_LT(written, static_cast<size_t>(kLines));
  EXPECT_EQ(kLines - written, dropped) << "written " << written;
}

}  // namespace
