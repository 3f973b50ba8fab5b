#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <string>
#include <tuple>

#include "BError.h"
#include "LogStream.h"
#include "String.h"

namespace {

std::string TextOf(const LogStream& stream) { return stream.getText().chars(); }

TEST(LogStreamTest, OperandsEndlAndDoublesAppendTheirTexts) {
  char mutableChars[] = "mutable";
  const char* nullText = nullptr;
  LogStream other, s, huge;
  other << "other";
  s << 42 << "x" << 2.5 << ' ' << 4294967295u << ' ' << INT_MIN << ' ' << LONG_MIN << ' '
    << ULONG_MAX << 'c' << '\0' << 'd' << mutableChars << nullText << String(" value")
    << std::string(" std") << "[" << other << "]" << BError("Cnx::Open", "refused");
  s.append(String("a")).append("b") << endl;
  EXPECT_EQ(
      "42x2.5 4294967295 -2147483648 -9223372036854775808 18446744073709551615cdmutable"
      "(null) value std[other]BError: 'refused',from 'Cnx::Open'ab\n",
      TextOf(s));

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
  EXPECT_EQ(std::to_string(1e308), std::string(cleanPrintDouble(buf, 1e308, kind)) + ".000000");
  huge << -DBL_MAX;
  EXPECT_EQ(std::to_string(-DBL_MAX), TextOf(huge) + ".000000");
}

}  // namespace
