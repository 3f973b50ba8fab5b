#include <gtest/gtest.h>
#include <stdio.h>

#include <string>
#include <utility>

#include "TimestampScanner.h"

namespace {

std::string Text(const TimestampScanner::Fields& f) {
  char buf[64];
  snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", f.year, f.month, f.day, f.hour, f.min,
           f.sec);
  return buf;
}

}  // namespace

TEST(TimestampScannerTest, FreeFormTakesTheLongestCompleteFormAndValidates) {
  const std::pair<const char*, const char*> good[] = {
      {"07/3/4", "2007-03-04 00:00:00"},          {"1999/12/31 23:59:59", "1999-12-31 23:59:59"},
      {"2008/5/14 10:20", "2008-05-14 10:20:00"}, {"2008/5/14 10", "2008-05-14 10:00:00"},
      {"2008/5", "2008-05-01 00:00:00"},          {"2008", "2008-01-01 00:00:00"},
      {"70/1/1", "1970-01-01 00:00:00"}};
  for (const auto& c : good) {
    TimestampScanner::Fields f = {};
    EXPECT_TRUE(TimestampScanner::ScanFree(c.first, f)) << c.first;
    EXPECT_EQ(c.second, Text(f));
  }
  for (const char* bad : {"1969/1/1", "69/1/1", "2008/13/1", "2008/0/1", "2008/5/32",
                          "2008/5/14 24:00", "2008/5/14 10:60", "2008/5/14 10:0:60", "abc", ""}) {
    TimestampScanner::Fields f = {};
    EXPECT_FALSE(TimestampScanner::ScanFree(bad, f)) << bad;
  }
}

TEST(TimestampScannerTest, FormatTokensReadUpToTheirLengthOrTheNextFormatCharacter) {
  const struct {
    const char* text;
    const char* format;
    const char* fields;  // null: rejected
  } cases[] = {{"2008-05-14 10:20:30", "YYYY-MM-DD HH:MI:SS", "2008-05-14 10:20:30"},
               {"14/05/08 02:05PM", "DD/MM/YY HH:MIPM", "2008-05-14 14:05:00"},
               {"2008/07/04 01:30 am", "YYYY/MM/DD HH:MI PM", "2008-07-04 01:30:00"},
               {"7/4/99", "MM/DD/YY", "1999-07-04 00:00:00"},
               {"20080704", "YYYYMMDD", "2008-07-04 00:00:00"},
               {"9850704", "YYYMMDD", "1985-07-04 00:00:00"},  // 901-999 are 1901-1999
               {"0120704", "YYYMMDD", "2012-07-04 00:00:00"},
               {"05/14", "MM/DD", "2000-05-14 00:00:00"},  // no year: 0, completed to 2000
               {"2008x05", "YYYY-MM", nullptr},
               {"2008-13-01", "YYYY-MM-DD", nullptr},
               {"1969-12-31", "YYYY-MM-DD", nullptr},
               {"2008-05", "YYYY-MM-DD", nullptr},
               {"2008-05-14 23:00 PM", "YYYY-MM-DD HH:MI PM", nullptr}};
  for (const auto& c : cases) {
    TimestampScanner::Fields f = {};
    EXPECT_EQ(c.fields != nullptr, TimestampScanner::ScanFormat(c.text, c.format, f)) << c.text;
    if (c.fields != nullptr) {
      EXPECT_EQ(c.fields, Text(f)) << c.text;
    }
  }
}
