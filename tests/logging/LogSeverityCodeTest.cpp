#include <gtest/gtest.h>

#include <tuple>

#include "LogSeverityCode.h"

namespace {

// value, name, level letter, severity char, console prefix, syslog severity, default code
using Row = std::tuple<int, const char*, char, char, const char*, int, const char*>;

const Row kRows[] = {
    {Fatal, "Fatal", '\0', 'F', "FATAL:  ", 1, "DL30001"},
    {Error, "Error", 'F', 'F', "FATAL:  ", 1, "DL30001"},
    {Warning, "Warning", 'W', 'W', "ERRMaj: ", 4, "DL30002"},
    {Info, "Info", 'I', 'I', "Warning:", 6, "DL30003"},
    {Debug1, "Debug1", '1', '1', "Dbg=1:  ", 7, ""},
    {Debug5, "Debug5", '5', '4', "Dbg=4:  ", 7, ""},
    {Debug8, "Debug8", '8', '4', "Dbg=4:  ", 7, ""},
    {NoSeverity, "NoSeverity", '\0', '?', "????:   ", 7, ""},
    {-1, "NoSeverity", '\0', '?', "????:   ", 7, ""},
    {13, "NoSeverity", '\0', '?', "????:   ", 7, ""},
};

TEST(LogSeverityCodeTest, EveryRepresentationFollowsTheSeverityTable) {
  for (const auto& [value, name, letter, severityChar, prefix, syslog, code] : kRows) {
    SCOPED_TRACE(value);
    EXPECT_STREQ(name, LogSeverityName(value));
    EXPECT_EQ(letter, LogSeverityLevelLetter(value));
    EXPECT_EQ(severityChar, LogSeverityChar(value));
    EXPECT_STREQ(prefix, LogSeverityConsolePrefix(value));
    EXPECT_EQ(syslog, LogSeveritySyslog(value));
    EXPECT_STREQ(code, LogSeverityDefaultCode(value));
  }
}

}  // namespace
