#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>

#include "LogDeviceConsole.h"
#include "LogServer.h"
#include "StderrCapture.h"
#include "Timestamp.h"

namespace {

// 2026-12-04 10:11:12 UTC.
constexpr unsigned kWhen = 1796379072u;

std::string Stamp() {
  Timestamp time;
  time.SetGMTCount(kWhen);
  char text[Timestamp::kPrintBufferSize];
  time.PrintShort(text);
  return "[" + std::string(text) + "] ";
}

// What the console wrote for one record: first stdout, then stderr.
std::pair<std::string, std::string> Print(Handle<LogMessage> record) {
  LogDeviceConsole console;
  StdoutCapture out;
  StderrCapture err;
  EXPECT_TRUE(console.ProcessMessage(record, false));
  const std::string errText = err.Stop();
  return {out.Stop(), errText};
}

Handle<LogMessage> Record(LogSeverityCode severity, const char* text, int channel = 0) {
  Handle<LogMessage> record(new LogMessage(severity, kWhen, "VIGILD-1:0", "", ""));
  record->append(text);
  record->channel = channel;
  return record;
}

TEST(LogDeviceConsoleTest, LineShowsTimeChannelPrefixTagTabAndMessageOnTheRightStream) {
  ASSERT_EQ(Stamp().size(), 22u);  // "[yyyy/mm/dd hh:mm:ss] "
  // severity, channel, written on stderr, what precedes the tag
  const std::tuple<LogSeverityCode, int, bool, const char*> cases[] = {
      {Fatal, 0, true, "FATAL:  "},        {Error, 0, true, "FATAL:  "},
      {Warning, 0, true, "ERRMaj: "},      {Info, -2, false, "Warning:"},
      {Info, 3, false, "(ch=3) Warning:"}, {Debug1, 0, false, "Dbg=1:  "},
      {Debug6, 0, false, "Dbg=4:  "},      {NoSeverity, 0, false, "????:   "}};
  for (const auto& [severity, channel, onStderr, prefix] : cases) {
    SCOPED_TRACE(prefix);
    auto printed =
        Print(Record(severity, "[ListenPort::StartBlock] WARNING : accept failed: ", channel));
    EXPECT_EQ(onStderr ? printed.second : printed.first,
              Stamp() + prefix + "[ListenPort::StartBlock]\tWARNING : accept failed: \n");
    EXPECT_EQ(onStderr ? printed.first : printed.second, "");
  }
}

TEST(LogDeviceConsoleTest, CallerTagKeepsTheWholeTextNewlinesIncluded) {
  Handle<LogMessage> record(new LogMessage(Info, kWhen, "VIGILD-1:0", "DL31021", "", ""));
  record->errorString = "LISTENNER_OK";
  record->append("Listenner started on TCP port 3003\n");
  EXPECT_EQ(Print(record).first,
            Stamp() + "Warning:LISTENNER_OK\tListenner started on TCP port 3003\n\n");
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
