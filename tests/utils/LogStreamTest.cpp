#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstring>
#include <string>
#include <tuple>

#include "BError.h"
#include "LogStream.h"
#include "StderrCapture.h"
#include "String.h"
#include "Timestamp.h"

namespace {

std::string TextOf(const LogStream& stream) { return stream.getText().chars(); }

}  // namespace

TEST(LogStreamTest, EachOperandAppendsItsText) {
  char mutableChars[] = "mutable";
  const char* nullText = nullptr;
  LogStream other, s, self;
  other << "other";
  s << 42 << "x" << 3.0 << ' ' << 4294967295u << ' ' << -1 << ' ' << INT_MIN << ' ' << LONG_MIN
    << ' ' << LONG_MAX << ' ' << ULONG_MAX << ' ' << 0ul << 'c' << '\0' << 'd' << mutableChars
    << nullText << String(" value") << std::string(" std") << "[" << other << "]";
  s.append(String("a")).append("b") << endl;
  EXPECT_EQ(
      "42x3 4294967295 -1 -2147483648 -9223372036854775808 9223372036854775807 "
      "18446744073709551615 0cdmutable(null) value std[other]ab\n",
      TextOf(s));
  self << "ab" << self;
  EXPECT_EQ("abab", TextOf(self));
}

TEST(LogStreamTest, TextStopsGrowingQuietlyAtTheStringLimit) {
  StderrCapture capture;
  LogStream stream;
  std::string big(70000, 'a');
  stream << big.c_str() << "tail" << 7;
  stream << stream;
  EXPECT_EQ("", capture.Stop());
  std::string text = TextOf(stream);
  EXPECT_EQ(static_cast<size_t>(String::kMaxLength), text.size());
  EXPECT_EQ(std::string::npos, text.find_first_not_of('a'));
}

TEST(LogStreamTest, DoublesPrintWithTheFewestDecimalsThatShowTheValue) {
  // value, text, kind (1: a whole number that fits 32 unsigned bits)
  const std::tuple<double, const char*, int> cases[] = {
      {2.5, "2.5", 2},           {1.0 / 3, "0.33333333", 2},
      {0.000001, "0.000001", 2}, {1e-10, "0.0000000001", 2},
      {5e9, "5000000000", 2},    {4294967295.0, "4294967295", 1},
      {-7.0, "-7", 1},           {-0.0, "0", 1},
      {NAN, "nan", 2},           {INFINITY, "inf", 2},
      {-INFINITY, "-inf", 2}};
  for (const auto& [value, text, expectedKind] : cases) {
    char buf[kCleanPrintDoubleSize];
    int kind = 0;
    EXPECT_STREQ(text, cleanPrintDouble(buf, value, kind)) << value;
    EXPECT_EQ(expectedKind, kind) << value;
  }
  char buf[kCleanPrintDoubleSize];
  int kind = 0;
  std::string huge = cleanPrintDouble(buf, 1e308, kind);
  EXPECT_EQ(309u, huge.size());
  EXPECT_EQ(0u, huge.find("10000000000000000109"));
  EXPECT_EQ(310u, strlen(cleanPrintDouble(buf, -DBL_MAX, kind)));
  LogStream stream;
  stream << 1e308;
  EXPECT_EQ(huge, TextOf(stream));
}

TEST(LogStreamTest, TimestampAndErrorWriteTheirOwnTexts) {
  Timestamp time;
  time.SetGMTCount(1000000000L);
  char expected[Timestamp::kPrintBufferSize];
  time.PrintLong(expected);
  LogStream stream;
  stream << time << "|" << BError("ListenPort::Initialize", "bind failed");
  EXPECT_EQ(0u, std::string(expected).find("[1000000000] "));
  EXPECT_EQ(std::string(expected) + "|BError: 'bind failed',from 'ListenPort::Initialize'",
            TextOf(stream));
}
