#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstring>
#include <functional>
#include <string>

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
  LogStream other;
  other << "other";
  const std::pair<std::function<void(LogStream&)>, const char*> cases[] = {
      {[](LogStream& s) { s << 42 << "x" << 3.0; }, "42x3"},
      {[](LogStream& s) { s << 4294967295u; }, "4294967295"},
      {[](LogStream& s) { s << -1 << ' ' << INT_MIN; }, "-1 -2147483648"},
      {[](LogStream& s) { s << LONG_MIN << ' ' << LONG_MAX; },
       "-9223372036854775808 9223372036854775807"},
      {[](LogStream& s) { s << ULONG_MAX << ' ' << 0ul; }, "18446744073709551615 0"},
      {[](LogStream& s) { s << 'c' << '\0' << 'd'; }, "cd"},
      {[&](LogStream& s) { s << mutableChars << nullText; }, "mutable(null)"},
      {[](LogStream& s) { s << String("value") << std::string(" std"); }, "value std"},
      {[&](LogStream& s) { s << "[" << other << "]"; }, "[other]"},
      {[](LogStream& s) { s.append(String("a")).append("b") << endl; }, "ab\n"},
      {[](LogStream& s) { s << 2.5 << ' ' << -0.0 << ' ' << NAN; }, "2.5 0 nan"},
      {[](LogStream& s) { s << "ab" << s; }, "abab"},
  };
  for (const auto& c : cases) {
    LogStream stream;
    c.first(stream);
    EXPECT_EQ(c.second, TextOf(stream));
  }
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
  struct Case {
    double value;
    const char* text;
    int kind;
  };
  const Case cases[] = {
      {3.0, "3", 1},
      {2.5, "2.5", 2},
      {0.1, "0.1", 2},
      {1.0 / 3, "0.33333333", 2},
      {0.000001, "0.000001", 2},
      {1e-10, "0.0000000001", 2},
      {5e9, "5000000000", 2},
      {4294967295.0, "4294967295", 1},
      {-7.0, "-7", 1},
      {0.0, "0", 1},
      {-0.0, "0", 1},
      {NAN, "nan", 2},
      {INFINITY, "inf", 2},
      {-INFINITY, "-inf", 2},
  };
  for (const Case& c : cases) {
    char buf[kCleanPrintDoubleSize];
    int kind = 0;
    EXPECT_STREQ(c.text, cleanPrintDouble(buf, c.value, kind)) << c.value;
    EXPECT_EQ(c.kind, kind) << c.value;
  }
  char buf[kCleanPrintDoubleSize];
  int kind = 0;
  std::string huge = cleanPrintDouble(buf, 1e308, kind);
  EXPECT_EQ(309u, huge.size());
  EXPECT_EQ(0u, huge.find("10000000000000000109"));
  EXPECT_EQ(2, kind);
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

TEST(LogStreamTest, TraceLevelIsKeptUntilChanged) {
  EXPECT_EQ(0, GetTraceLevel());
  EXPECT_EQ(1, SetTraceLevel(3));
  EXPECT_EQ(3, GetTraceLevel());
  EXPECT_EQ(1, SetTraceLevel(0));
  EXPECT_EQ(0, GetTraceLevel());
}
