#include <gtest/gtest.h>
#include <stdio.h>

#include <string>
#include <tuple>

#include "TimestampScanner.h"

TEST(TimestampScannerTest, FreeFormAndFormatTokensReadValidFieldsOnly) {
  // text, format (null: the free form), fields read (empty: rejected)
  const std::tuple<const char*, const char*, std::string> cases[] = {
      {"1999/12/31 23:59:59", nullptr, "1999-12-31 23:59:59"},
      {"70/1/1", nullptr, "1970-1-1 0:0:0"},
      {"14/05/08 02:05PM", "DD/MM/YY HH:MIPM", "2008-5-14 14:5:0"},
      {"9850704", "YYYMMDD", "1985-7-4 0:0:0"},  // 901-999 are 1901-1999
      {"05/14", "MM/DD", "2000-5-14 0:0:0"},     // no year: 0, completed to 2000
      {"69/1/1", nullptr, ""},
      {"2008/5/14 24:00", nullptr, ""},
      {"2008x05", "YYYY-MM", ""},
      {"2008-05-14 23:00 PM", "YYYY-MM-DD HH:MI PM", ""}};
  for (const auto& [text, format, fields] : cases) {
    TimestampScanner::Fields f = {};
    const bool read = format ? TimestampScanner::ScanFormat(text, format, f)
                             : TimestampScanner::ScanFree(text, f);
    char got[64];
    snprintf(got, sizeof got, "%d-%d-%d %d:%d:%d", f.year, f.month, f.day, f.hour, f.min, f.sec);
    EXPECT_EQ(fields, read ? got : "") << text;
  }
}
