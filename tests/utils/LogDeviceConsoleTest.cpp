#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "LogDeviceConsole.h"
#include "StderrCapture.h"
#include "Timestamp.h"

namespace {

TEST(LogDeviceConsoleTest, LineShowsTimeChannelPrefixTagTabAndMessageOnTheRightStream) {
  Timestamp time;
  time.SetGMTCount(1796379072);  // 2026-12-04 10:11:12 UTC
  char stamp[Timestamp::kPrintBufferSize];
  time.PrintShort(stamp);  // local time, as "yyyy/mm/dd hh:mm:ss"
  // severity, channel, written on stderr, what precedes the tag
  const std::tuple<LogSeverityCode, int, bool, const char*> cases[] = {
      {Fatal, 0, true, "FATAL:  "},        {Error, 0, true, "FATAL:  "},
      {Warning, 0, true, "ERRMaj: "},      {Info, -2, false, "Warning:"},
      {Info, 3, false, "(ch=3) Warning:"}, {Debug1, 0, false, "Dbg=1:  "}};
  for (const auto& [severity, channel, onStderr, prefix] : cases) {
    SCOPED_TRACE(prefix);
    Handle<LogMessage> record(new LogMessage(severity, 1796379072u, "VIGILD-1:0", "", ""));
    record->append("[ListenPort::StartBlock] WARNING : accept failed: ");
    record->channel = channel;
    LogDeviceConsole console;
    StdoutCapture out;
    StderrCapture err;
    EXPECT_TRUE(console.ProcessMessage(record, false));
    const std::string errText = err.Stop(), outText = out.Stop();
    EXPECT_EQ(onStderr ? errText : outText,
              "[" + std::string(stamp) + "] " + prefix +
                  "[ListenPort::StartBlock]\tWARNING : accept failed: \n");
    EXPECT_EQ(onStderr ? outText : errText, "");
  }
}

}  // namespace
