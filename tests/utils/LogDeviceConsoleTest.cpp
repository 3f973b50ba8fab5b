#include <gtest/gtest.h>

#include <string>

#include "LogDeviceConsole.h"
#include "LogServer.h"
#include "StderrCapture.h"
#include "Timestamp.h"

namespace {

// 2026-12-04 10:11:12 UTC.
constexpr unsigned kWhen = 1796379072u;

std::string ShortTime(unsigned seconds) {
  Timestamp time;
  time.SetGMTCount(static_cast<long>(seconds));
  char text[Timestamp::kPrintBufferSize];
  time.PrintShort(text);
  return text;
}

struct Printed {
  std::string out;
  std::string err;
};

Printed Print(Handle<LogMessage> record) {
  LogDeviceConsole console;
  StdoutCapture out;
  StderrCapture err;
  EXPECT_TRUE(console.ProcessMessage(record, false));
  Printed printed;
  printed.err = err.Stop();
  printed.out = out.Stop();
  return printed;
}

Handle<LogMessage> Record(LogSeverityCode severity, const char* text, int channel = 0) {
  Handle<LogMessage> record(new LogMessage(severity, kWhen, "VIGILD-1:0", "", ""));
  record->append(text);
  record->channel = channel;
  return record;
}

TEST(LogDeviceConsoleTest, LineShowsTimePrefixTagTabAndMessageOnTheRightStream) {
  const std::string time = "[" + ShortTime(kWhen) + "] ";
  ASSERT_EQ(time.size(), 22u);  // "[yyyy/mm/dd hh:mm:ss] "
  struct Case {
    LogSeverityCode severity;
    bool onStderr;
    const char* prefix;
  } cases[] = {
      {Fatal, true, "FATAL:  "},       {Error, true, "FATAL:  "},   {Warning, true, "ERRMaj: "},
      {Info, false, "Warning:"},       {Debug1, false, "Dbg=1:  "}, {Debug6, false, "Dbg=4:  "},
      {NoSeverity, false, "????:   "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.prefix);
    Printed printed =
        Print(Record(c.severity, "[ListenPort::StartBlock] WARNING : accept failed: "));
    const std::string expected =
        time + c.prefix + "[ListenPort::StartBlock]\tWARNING : accept failed: \n";
    EXPECT_EQ(c.onStderr ? printed.err : printed.out, expected);
    EXPECT_EQ(c.onStderr ? printed.out : printed.err, "");
  }
}

TEST(LogDeviceConsoleTest, ChannelAboveZeroIsShownBeforeThePrefix) {
  Printed printed = Print(Record(Info, "[Poll] INFO : ok", 3));
  EXPECT_EQ(printed.out, "[" + ShortTime(kWhen) + "] (ch=3) Warning:[Poll]\tINFO : ok\n");
  printed = Print(Record(Info, "[Poll] INFO : ok", -2));
  EXPECT_EQ(printed.out, "[" + ShortTime(kWhen) + "] Warning:[Poll]\tINFO : ok\n");
}

TEST(LogDeviceConsoleTest, CallerTagKeepsTheWholeTextNewlinesIncluded) {
  Handle<LogMessage> record(new LogMessage(Info, kWhen, "VIGILD-1:0", "DL31021", "", ""));
  record->errorString = "LISTENNER_OK";
  record->append("Listenner started on TCP port 3003\n");
  Printed printed = Print(record);
  EXPECT_EQ(printed.out, "[" + ShortTime(kWhen) +
                             "] Warning:LISTENNER_OK\tListenner started on TCP port 3003\n\n");
}

TEST(LogDeviceConsoleTest, NewServerPrintsAcceptedRecordsOnTheConsole) {
  LogServer* server = LogServer::Instance();
  StdoutCapture out;
  StderrCapture err;
  LogServer::Report(Info, nullptr, "[Main] INFO : started");
  LogServer::Report(Debug1, nullptr, "[Main] DEBUG : hidden by the start filter");
  LogServer::Report(Error, "DL30000", "[Main] ERROR : failed");
  server->initForConsole();
  LogServer::Report(Warning, nullptr, "[Main] WARNING : again");
  const std::string errText = err.Stop();
  const std::string outText = out.Stop();
  LogServer::DeleteInstance();
  EXPECT_NE(outText.find("] Warning:[Main]\tINFO : started\n"), std::string::npos) << outText;
  EXPECT_EQ(outText.find("hidden"), std::string::npos);
  EXPECT_NE(errText.find("] FATAL:  [Main]\tERROR : failed\n"), std::string::npos) << errText;
  EXPECT_NE(errText.find("] ERRMaj: [Main]\tWARNING : again\n"), std::string::npos) << errText;
}

}  // namespace
