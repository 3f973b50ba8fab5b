#include <cfloat>
#include <climits>
#include <cmath>

#include "BError.h"
#include "LogMessage.h"
#include "TestCommon.h"

namespace {

// value, name, level letter, severity char, console prefix, syslog severity, default code
using Row = std::tuple<int, std::string, char, char, std::string, int, std::string>;

const Row kRows[] = {{Fatal, "Fatal", '\0', 'F', "FATAL:  ", 1, "DL30001"},
                     {Error, "Error", 'F', 'F', "FATAL:  ", 1, "DL30001"},
                     {Warning, "Warning", 'W', 'W', "ERRMaj: ", 4, "DL30002"},
                     {Info, "Info", 'I', 'I', "Warning:", 6, "DL30003"},
                     {Debug1, "Debug1", '1', '1', "Dbg=1:  ", 7, ""},
                     {Debug5, "Debug5", '5', '4', "Dbg=4:  ", 7, ""},
                     {Debug8, "Debug8", '8', '4', "Dbg=4:  ", 7, ""},
                     {NoSeverity, "NoSeverity", '\0', '?', "????:   ", 7, ""},
                     {-1, "NoSeverity", '\0', '?', "????:   ", 7, ""},
                     {13, "NoSeverity", '\0', '?', "????:   ", 7, ""}};

TEST(LogSeverityCodeTest, EveryRepresentationFollowsTheSeverityTable) {
  for (const Row& row : kRows) {
    const int value = std::get<0>(row);
    EXPECT_EQ(row, Row(value, LogSeverityName(value), LogSeverityLevelLetter(value),
                       LogSeverityChar(value), LogSeverityConsolePrefix(value),
                       LogSeveritySyslog(value), LogSeverityDefaultCode(value)));
    if (value >= Fatal && value <= NoSeverity) {
      EXPECT_EQ(std::get<6>(row), LogMessage(static_cast<LogSeverityCode>(value)).getErrorCode());
    }
  }
  EXPECT_STREQ("DL31001", LogMessage(Info, "DL31001").getErrorCode());
  EXPECT_STREQ("", LogMessage(Error, nullptr).getErrorCode());
}

TEST(LogMessageTest, TextSplitsIntoTagAndMessageUnlessTheCallerSetATag) {
  // text, tag, message
  const std::tuple<const char*, const char*, const char*> cases[] = {
      {"abc [X] : : def", "[X]", "abc def"},
      {"abc [X no close", "[]", "abc [X no close"},
      {"a] b [c", "[]", "a] b [c"},
      {"[T]\nfirst\nsecond\n", "[T]", "firstsecond"},
      {"", "[]", ""}};
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

TEST(LogStreamTest, OperandsEndlAndDoublesAppendTheirTexts) {
  char mutableChars[] = "mutable";
  const char* nullText = nullptr;
  LogStream other, s, huge;
  other << "other";
  s << 42 << "x" << 2.5 << ' ' << 4294967295u << ' ' << INT_MIN << ' ' << LONG_MIN << ' '
    << ULONG_MAX << 'c' << '\0' << 'd' << mutableChars << nullText << String(" value")
    << std::string(" std") << "[" << other << "]" << BError("Cnx::Open", "refused");
  s.append(String("a")).append("b") << endl;
  EXPECT_STREQ(
      "42x2.5 4294967295 -2147483648 -9223372036854775808 18446744073709551615cdmutable"
      "(null) value std[other]BError: 'refused',from 'Cnx::Open'ab\n",
      s.getText().chars());
  // value, text, kind (1: a whole number that fits 32 unsigned bits)
  const std::tuple<double, const char*, int> cases[] = {
      {2.5, "2.5", 2},        {1.0 / 3, "0.33333333", 2},      {1e-10, "0.0000000001", 2},
      {5e9, "5000000000", 2}, {4294967295.0, "4294967295", 1}, {-0.0, "0", 1},
      {NAN, "nan", 2},        {-INFINITY, "-inf", 2}};
  char buf[kCleanPrintDoubleSize];
  int kind = 0;
  for (const auto& [value, text, expectedKind] : cases) {
    EXPECT_STREQ(text, cleanPrintDouble(buf, value, kind)) << value;
    EXPECT_EQ(expectedKind, kind) << value;
  }
  // The longest doubles print every digit, through the stream as well.
  huge << -DBL_MAX;
  EXPECT_EQ(std::to_string(-DBL_MAX), std::string(huge.getText().chars()) + ".000000");
}

}  // namespace
