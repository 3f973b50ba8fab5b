#include <gtest/gtest.h>

#include <string>

#include "Handle.h"
#include "LogMessage.h"

TEST(LogMessageTest, ShortConstructorsStampNowAndPickTheCode) {
  const std::pair<LogMessage*, const char*> cases[] = {
      {new LogMessage(Info), "DL30003"},    {new LogMessage(Info, "DL31001"), "DL31001"},
      {new LogMessage(Debug1), ""},         {new LogMessage(Fatal), "DL30001"},
      {new LogMessage(Error), "DL30001"},   {new LogMessage(Warning), "DL30002"},
      {new LogMessage(Error, nullptr), ""}, {new LogMessage(Debug8, "WATCH.TRACE"), "WATCH.TRACE"},
  };
  for (const auto& c : cases) {
    Handle<LogMessage> record(c.first);
    EXPECT_STREQ(c.second, record->getErrorCode());
    EXPECT_EQ("UNDEF", record->facility);
    EXPECT_EQ(0, record->channel);
    EXPECT_TRUE(record->errorString.empty() && record->errorMessage.empty());
    EXPECT_FALSE(record->time.IsNull());
  }
  LogMessage record(Info);
  record.defaultErrCodeFromSeverity(Warning);
  EXPECT_EQ("DL30002", record.errorCode);
  EXPECT_EQ(Info, record.severity);
}

TEST(LogMessageTest, TimedConstructorsTakeEveryField) {
  LogMessage coded(Warning, 1000000000u, "VIGILD.0.0:3", "DL30102", "[Cnx]", "reset");
  LogMessage uncoded(Warning, 1000000000u, nullptr, nullptr, nullptr);
  EXPECT_EQ("VIGILD.0.0:3", coded.facility);
  EXPECT_EQ(1000000000L, coded.time.GMTCount());
  EXPECT_STREQ("DL30102", coded.getErrorCode());
  EXPECT_STREQ("[Cnx]", coded.getErrorString());
  EXPECT_STREQ("reset", coded.getErrorMessage());
  EXPECT_EQ(0, coded.channel);
  EXPECT_EQ("", uncoded.facility);
  EXPECT_STREQ("DL30002", uncoded.getErrorCode());
}

TEST(LogMessageTest, SeverityCharFollowsTheTable) {
  EXPECT_EQ('4', LogMessage(static_cast<LogSeverityCode>(9)).getSeverityChar());
  EXPECT_EQ('?', LogMessage(NoSeverity).getSeverityChar());
  EXPECT_EQ('W', LogMessage(Warning).getSeverityChar());
}

TEST(LogMessageTest, TextSplitsIntoTagAndMessage) {
  struct Case {
    const char* text;
    const char* tag;
    const char* message;
  };
  const Case cases[] = {
      {"abc [X] : : def", "[X]", "abc def"},
      {"[ListenPort::Stop] INFO : Signaling stop ...", "[ListenPort::Stop]",
       "INFO : Signaling stop ..."},
      {"abc [X no close", "[]", "abc [X no close"},
      {"a] b [c", "[]", "a] b [c"},
      {"no brackets\n", "[]", "no brackets"},
      {"[T]\nfirst\nsecond\n", "[T]", "firstsecond"},
      {"\nlead [T] x", "[T]", "lead x"},
      {"[A] [B] x", "[A]", "[B] x"},
      {"x [T]:: :", "[T]", "x "},
      {"", "[]", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    LogMessage tagFirst(Info);
    LogMessage messageFirst(Info);
    tagFirst << c.text;
    messageFirst << c.text;
    EXPECT_STREQ(c.tag, tagFirst.getErrorString());
    EXPECT_STREQ(c.message, tagFirst.getErrorMessage());
    EXPECT_STREQ(c.message, messageFirst.getErrorMessage());
    EXPECT_STREQ(c.tag, messageFirst.getErrorString());
  }
}

TEST(LogMessageTest, CallerTagKeepsTheWholeTextAsMessage) {
  Handle<LogMessage> record(new LogMessage(Info, "DL31021"));
  *record << "Listenner started on TCP port " << 3003 << endl;
  record->errorString = "LISTENNER_OK";
  EXPECT_STREQ("LISTENNER_OK", record->getErrorString());
  EXPECT_STREQ("Listenner started on TCP port 3003\n", record->getErrorMessage());
}
