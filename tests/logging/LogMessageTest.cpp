#include <gtest/gtest.h>

#include <tuple>
#include <utility>

#include "LogMessage.h"

namespace {

TEST(LogMessageTest, ShortConstructorsTakeTheSeverityDefaultCodeUnlessGivenOne) {
  const std::pair<LogSeverityCode, const char*> defaults[] = {
      {Fatal, "DL30001"}, {Error, "DL30001"}, {Warning, "DL30002"}, {Info, "DL30003"}, {Debug1, ""},
  };
  for (const auto& [severity, code] : defaults) {
    EXPECT_STREQ(code, LogMessage(severity).getErrorCode()) << severity;
  }
  EXPECT_STREQ("DL31001", LogMessage(Info, "DL31001").getErrorCode());
  EXPECT_STREQ("", LogMessage(Error, nullptr).getErrorCode());
}

TEST(LogMessageTest, TextSplitsIntoTagAndMessageUnlessTheCallerSetATag) {
  // text, tag, message
  const std::tuple<const char*, const char*, const char*> cases[] = {
      {"abc [X] : : def", "[X]", "abc def"},
      {"[ListenPort::Stop] INFO : Signaling stop ...", "[ListenPort::Stop]",
       "INFO : Signaling stop ..."},
      {"abc [X no close", "[]", "abc [X no close"},
      {"a] b [c", "[]", "a] b [c"},
      {"[T]\nfirst\nsecond\n", "[T]", "firstsecond"},
      {"", "[]", ""},
  };
  for (const auto& [text, tag, message] : cases) {
    SCOPED_TRACE(text);
    LogMessage tagFirst(Info), messageFirst(Info);
    tagFirst << text;
    messageFirst << text;
    EXPECT_STREQ(tag, tagFirst.getErrorString());
    EXPECT_STREQ(message, tagFirst.getErrorMessage());
    EXPECT_STREQ(message, messageFirst.getErrorMessage());
    EXPECT_STREQ(tag, messageFirst.getErrorString());
  }
  LogMessage record(Info, "DL31021");
  record << "Listenner started on TCP port " << 3003 << endl;
  record.errorString = "LISTENNER_OK";
  EXPECT_STREQ("LISTENNER_OK", record.getErrorString());
  EXPECT_STREQ("Listenner started on TCP port 3003\n", record.getErrorMessage());
}

}  // namespace
