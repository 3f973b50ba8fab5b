#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "LogSeverityCode.h"

namespace {

struct Row {
  int value;
  const char* name;
  char letter;
  char severityChar;
  const char* prefix;
  int syslog;
  const char* code;
};

const Row kRows[] = {
    {Fatal, "Fatal", '\0', 'F', "FATAL:  ", 1, "DL30001"},
    {Error, "Error", 'F', 'F', "FATAL:  ", 1, "DL30001"},
    {Warning, "Warning", 'W', 'W', "ERRMaj: ", 4, "DL30002"},
    {Info, "Info", 'I', 'I', "Warning:", 6, "DL30003"},
    {Debug1, "Debug1", '1', '1', "Dbg=1:  ", 7, ""},
    {Debug2, "Debug2", '2', '2', "Dbg=2:  ", 7, ""},
    {Debug3, "Debug3", '3', '3', "Dbg=3:  ", 7, ""},
    {Debug4, "Debug4", '4', '4', "Dbg=4:  ", 7, ""},
    {Debug5, "Debug5", '5', '4', "Dbg=4:  ", 7, ""},
    {Debug6, "Debug6", '6', '4', "Dbg=4:  ", 7, ""},
    {Debug7, "Debug7", '7', '4', "Dbg=4:  ", 7, ""},
    {Debug8, "Debug8", '8', '4', "Dbg=4:  ", 7, ""},
    {NoSeverity, "NoSeverity", '\0', '?', "????:   ", 7, ""},
    {-1, "NoSeverity", '\0', '?', "????:   ", 7, ""},
    {13, "NoSeverity", '\0', '?', "????:   ", 7, ""},
    {INT_MIN, "NoSeverity", '\0', '?', "????:   ", 7, ""},
    {INT_MAX, "NoSeverity", '\0', '?', "????:   ", 7, ""},
};

}  // namespace

TEST(LogSeverityCodeTest, EveryRepresentationFollowsTheSeverityTable) {
  EXPECT_EQ(12, static_cast<int>(NoSeverity));
  for (const Row& r : kRows) {
    SCOPED_TRACE(r.value);
    EXPECT_STREQ(r.name, LogSeverityName(r.value));
    EXPECT_EQ(r.letter, LogSeverityLevelLetter(r.value));
    EXPECT_EQ(r.severityChar, LogSeverityChar(r.value));
    EXPECT_STREQ(r.prefix, LogSeverityConsolePrefix(r.value));
    EXPECT_EQ(8u, strlen(LogSeverityConsolePrefix(r.value)));
    EXPECT_EQ(r.syslog, LogSeveritySyslog(r.value));
    EXPECT_STREQ(r.code, LogSeverityDefaultCode(r.value));
  }
}
