#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <array>
#include <atomic>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <utility>

#include "DaylightTable.h"
#include "TempDir.h"
#include "Timestamp.h"
#include "TlConfigurationGlobal.h"

namespace {

// The C library's own calendar arithmetic, as an independent oracle.
long Utc(int y, int mo, int d, int h, int mi, int s) {
  struct tm fields = {};
  fields.tm_year = y - 1900;
  fields.tm_mon = mo - 1;
  fields.tm_mday = d;
  fields.tm_hour = h;
  fields.tm_min = mi;
  fields.tm_sec = s;
  return static_cast<long>(timegm(&fields));
}

Timestamp At(long count, long ms = 0) {
  Timestamp t;
  t.SetGMTCount(count);
  t.Addms(ms);
  return t;
}

Timestamp Never() {
  Timestamp t;
  t.SetNever();
  return t;
}

using Printer = void (Timestamp::*)(char*);
std::string Print(Timestamp t, Printer printer = &Timestamp::PrintGMTVex) {
  char buf[Timestamp::kPrintBufferSize];
  (t.*printer)(buf);
  return buf;
}

std::string Long(long count, const char* tail) { return "[" + std::to_string(count) + "] " + tail; }

}  // namespace

// Every case starts from a fresh table for the host zone EST5EDT, with the
// table file looked for in a directory of its own.
class TimestampTest : public ::testing::Test {
 protected:
  void SetUp() override { UseZone(""); }
  void TearDown() override {
    Timestamp::controlledTimeResume();
    TlConfigurationGlobal::DeleteInstance();
  }
  void UseZone(const std::string& tableFile) {
    if (!tableFile.empty()) {
      conf.WriteFile("Btztab.conf", tableFile);
    }
    setenv("TZ", "EST5EDT", 1);
    TlConfigurationGlobal::Instance()->AtPut("CONF_DIRECTORY", conf.path() + "/");
    DaylightTable::ResetForTest();
  }
  TempDir conf;
};

TEST_F(TimestampTest, LocalTimesEitherSideOfTheDefaultTransitions) {
  const long spring = Utc(2008, 4, 6, 7, 0, 0), autumn = Utc(2008, 10, 26, 6, 0, 0);
  const std::pair<long, const char*> cases[] = {
      {spring - 1, "sun 2008/04/06 01:59:59 EST(GMT5) dst=Off"},
      {spring, "sun 2008/04/06 03:00:00 EDT(GMT4) dst=On"},
      {autumn - 1, "sun 2008/10/26 01:59:59 EDT(GMT4) dst=On"},
      {autumn, "sun 2008/10/26 01:00:00 EST(GMT5) dst=Off"},
      {Utc(2037, 10, 25, 6, 0, 0), "sun 2037/10/25 01:00:00 EST(GMT5) dst=Off"},
      // Before the first transition local time is UTC and no zone applies.
      {Utc(1990, 7, 1, 12, 0, 0), "sun 1990/07/01 12:00:00 (GMT0) dst=Off"}};
  for (const auto& [count, text] : cases) {
    EXPECT_EQ(Long(count, text), Print(At(count), &Timestamp::PrintLong));
  }
  std::ostringstream out;
  out << At(spring);
  EXPECT_EQ(Print(At(spring), &Timestamp::PrintLong), out.str());
  EXPECT_EQ("2008.04.06-07.00.00", Print(At(spring)));
  EXPECT_EQ("2008.04.06-03.00.00", Print(At(spring), &Timestamp::PrintLocalVex));
  EXPECT_EQ("2008/04/06 03:00:00", Print(At(spring), &Timestamp::PrintShort));
}

TEST_F(TimestampTest, FieldsAndLongFormFollowTheLastConversion) {
  const long newYear = Utc(2008, 1, 1, 2, 0, 0);
  Timestamp t = At(newYear);
  EXPECT_EQ(2007, t.Year());
  ASSERT_EQ(1, t.ConvertToGMT());
  EXPECT_EQ(2008, t.Year());
  EXPECT_EQ(Long(newYear, "tue 2008/01/01 02:00:00 GMT"), Print(t, &Timestamp::PrintLong));
  t.SetGMTCount(newYear + 3600);  // a new value is local again
  EXPECT_EQ(22, t.Hour());
}

TEST_F(TimestampTest, TableFileSectionOfTheHostZoneReplacesTheDefaults) {
  const long summer2008 = Utc(2008, 7, 1, 12, 0, 0), change = Utc(2010, 3, 14, 6, 30, 0);
  UseZone("PST8PDT\n0 3 1-7 4 2000 0 PDT7\n");
  EXPECT_EQ("2008.07.01-08.00.00", Print(At(summer2008), &Timestamp::PrintLocalVex));
  EXPECT_EQ(84, DaylightTable::Process()->Size());
  UseZone("EST5EDT\n30 2 8-14 3 2010 0 EDT4\n");
  EXPECT_EQ("2008.07.01-12.00.00", Print(At(summer2008), &Timestamp::PrintLocalVex));
  EXPECT_EQ(1, DaylightTable::Process()->Size());
  EXPECT_EQ(Long(change, "sun 2010/03/14 02:30:00 EDT(GMT4) dst=On"),
            Print(At(change), &Timestamp::PrintLong));
}

TEST_F(TimestampTest, DurationsPrintAsDaysHoursMinutesSeconds) {
  // Values before 1980 are durations.
  const std::pair<Timestamp, const char*> cases[] = {
      {At(86400 + 2 * 3600 + 3 * 60 + 4), "1d02h03m04s"},
      {At(59), "00h00m59s"},
      {At(-90), "-00h01m30s"},
      {At(Utc(1979, 12, 31, 23, 59, 59)), "3651d23h59m59s"},
      {Never(), "_never_"}};
  for (const auto& [t, text] : cases) {
    EXPECT_EQ(text, Print(t, &Timestamp::PrintShort));
    EXPECT_EQ(text, Print(t, &Timestamp::PrintLong));
  }
}

TEST_F(TimestampTest, MillisecondDifferenceIsClampedToTenDaysAndSecondsAreRounded) {
  const long day = 86400;
  const long ms[][5] = {{11 * day, 0, 0, 0, 864000000},       {0, 0, 11 * day, 0, -864000000},
                        {10 * day, 5, 0, 0, 864000005},       {0, 0, 10 * day, 5, -864000005},
                        {10 * day + 1, 0, 0, 999, 864000000}, {5, 200, 3, 700, 1500}};
  for (const auto& c : ms) {
    EXPECT_EQ(c[4], At(c[0], c[1]).GetmsDiff(At(c[2], c[3]))) << c[0] << " " << c[2];
  }
  // Seconds apart, rounded by the milliseconds only within one day.
  const long base = Utc(2008, 5, 14, 0, 0, 0);
  const long seconds[][4] = {
      {10, 600, 0, 11},       {10, 500, 0, 10},       {10, 0, 600, 9},         {-10, 0, 501, -11},
      {86400, 900, 0, 86401}, {86401, 900, 0, 86401}, {-86401, 0, 900, -86401}};
  for (const auto& c : seconds) {
    EXPECT_EQ(c[3], At(base + c[0], c[1]) - At(base, c[2])) << c[0];
  }
  EXPECT_EQ(1005, 5 + At(1000));
  EXPECT_EQ(-500, 500 - At(1000));
}

TEST_F(TimestampTest, ScanningSetsTheValueOrClearsIt) {
  Timestamp t = At(123456, 789);
  ASSERT_EQ(1, t.ScanFromGMT("07/3/4"));
  EXPECT_EQ(Utc(2007, 3, 4, 0, 0, 0), t.GMTCount());
  EXPECT_EQ(0, t.Ms());
  ASSERT_EQ(1, t.ScanFromLocal("2008/7/4 12:00", ""));
  EXPECT_EQ(Utc(2008, 7, 4, 16, 0, 0), t.GMTCount());
  ASSERT_EQ(1, t.ScanFromLocal("01:30 pm", "YYYY/MM/DD HH:MI PM", "2008/07/04"));
  EXPECT_EQ(Utc(2008, 7, 4, 17, 30, 0), t.GMTCount());
  ASSERT_EQ(1, t.ScanFromGMT("2008/07/04", "YYYY/MM/DD", ""));
  EXPECT_EQ(Utc(2008, 7, 4, 0, 0, 0), t.GMTCount());
  for (const char* bad : {"1969/1/1", "2008/07/04 25:00"}) {
    t = At(123456, 789);
    EXPECT_EQ(0, t.ScanFromGMT(bad)) << bad;
    EXPECT_TRUE(t.IsNull() && t.Ms() == 0) << bad;
  }
  t = At(123456);
  EXPECT_EQ(0, t.ScanFromLocal("2008-07", "YYYY/MM"));
  EXPECT_TRUE(t.IsNull());
  EXPECT_EQ(0, t.ScanFromLocal(nullptr));
}

TEST_F(TimestampTest, SetFromGmtChecksTheWeekdayAndNormalisesFields) {
  Timestamp t;
  EXPECT_EQ(0, t.SetFromGmt(2008, 5, 14, 0, 0, 0, 0));  // a Wednesday
  EXPECT_TRUE(t.IsNull());
  EXPECT_EQ(0, t.SetFromGmt(2008, 5, 14, 0, 0, 0, 7));
  EXPECT_EQ(1, t.SetFromGmt(2008, 5, 14, 0, 0, 0, 3));
  EXPECT_EQ(Utc(2008, 5, 14, 0, 0, 0), t.GMTCount());
  // Years below 1900 count from 1900 and out-of-range fields carry over.
  const std::pair<std::array<int, 6>, const char*> cases[] = {
      {{108, 5, 14, 0, 0, 0}, "2008.05.14-00.00.00"},
      {{2008, 13, 1, 0, 0, 0}, "2009.01.01-00.00.00"},
      {{2008, 3, 0, 0, 0, 0}, "2008.02.29-00.00.00"},
      {{2008, 1, 1, 0, 0, -1}, "2007.12.31-23.59.59"},
      {{2008, 0, 1, 25, 0, 60}, "2007.12.02-01.01.00"}};
  for (const auto& [f, gmt] : cases) {
    ASSERT_EQ(1, t.SetFromGmt(f[0], f[1], f[2], f[3], f[4], f[5], Timestamp::kAnyWeekday));
    EXPECT_EQ(gmt, Print(t));
  }
  const long before = t.GMTCount();
  EXPECT_EQ(0, t.SetFromGmt(2040, 1, 1, 0, 0, 0, Timestamp::kAnyWeekday));
  EXPECT_EQ(before, t.GMTCount());
}

TEST_F(TimestampTest, NeverIsLaterThanEverythingAndArithmeticCarriesMilliseconds) {
  const Timestamp n = Never(), a = At(100, 300), a2 = At(100, 900), b = At(200);
  EXPECT_TRUE(n > a && n >= a && n > n && a < n && a <= n && n == n && n != a);
  EXPECT_FALSE(a > n || a >= n || n < a || n <= a || n == a);
  // Milliseconds do not count.
  EXPECT_TRUE(a == a2 && a <= a2 && a >= a2 && !(a < a2) && !(a2 > a));
  EXPECT_TRUE(b > a && b >= a && a < b && a <= b && a != b);
  Timestamp sum = a, stays = n, plain = a;
  sum += n;
  stays -= a;
  stays -= 5;
  plain -= n;
  EXPECT_TRUE(sum.IsNever() && stays.IsNever());
  EXPECT_EQ(100, plain.GMTCount());

  Timestamp t = At(100, 700);
  t += At(5, 400);
  EXPECT_EQ("106.100", std::to_string(t.GMTCount()) + "." + std::to_string(t.Ms()));
  t -= At(5, 400);
  t += 10;
  t -= 3;
  EXPECT_EQ("107.700", std::to_string(t.GMTCount()) + "." + std::to_string(t.Ms()));
  t.Addms(2500);
  EXPECT_EQ("110.200", std::to_string(t.GMTCount()) + "." + std::to_string(t.Ms()));
  t.Addms(-1500);
  EXPECT_EQ("109.-300", std::to_string(t.GMTCount()) + "." + std::to_string(t.Ms()));

  // A week from a day of standard time lands on the same local hour in
  // daylight time, one hour less later.
  Timestamp local = At(Utc(2008, 4, 1, 17, 0, 0));
  EXPECT_EQ(Utc(2008, 4, 8, 16, 0, 0), local.AddDays(7));
  EXPECT_EQ(12 * 3600, local.SecondsFromMidnight());
  EXPECT_EQ(2, local.DayOfWeek());
}

TEST_F(TimestampTest, PeriodBoundaries) {
  const long wednesday = Utc(2008, 5, 14, 10, 20, 30), newYearsEve = Utc(2008, 12, 31, 23, 59, 59);
  const std::tuple<long, int, const char*, const char*> cases[] = {
      {wednesday, Timestamp::kSecond, "2008.05.14-10.20.30", "2008.05.14-10.20.31"},
      {wednesday, Timestamp::kMinute, "2008.05.14-10.20.00", "2008.05.14-10.21.00"},
      {wednesday, Timestamp::kHour, "2008.05.14-10.00.00", "2008.05.14-11.00.00"},
      {wednesday, Timestamp::kDay, "2008.05.14-00.00.00", "2008.05.15-00.00.00"},
      {wednesday, Timestamp::kWeek, "2008.05.12-00.00.00", "2008.05.19-00.00.00"},
      {Utc(2008, 5, 18, 15, 0, 0), Timestamp::kWeek, "2008.05.12-00.00.00", "2008.05.19-00.00.00"},
      {Utc(2008, 5, 12, 0, 0, 0), Timestamp::kWeek, "2008.05.12-00.00.00", "2008.05.19-00.00.00"},
      {wednesday, Timestamp::kMonth, "2008.05.01-00.00.00", "2008.06.01-00.00.00"},
      {wednesday, Timestamp::kYear, "2008.01.01-00.00.00", "2009.01.01-00.00.00"},
      {newYearsEve, Timestamp::kDay, "2008.12.31-00.00.00", "2009.01.01-00.00.00"},
      {newYearsEve, Timestamp::kMonth, "2008.12.01-00.00.00", "2009.01.01-00.00.00"}};
  for (const auto& [count, period, first, last] : cases) {
    Timestamp begin = At(count, 500), end = At(count, 500);
    ASSERT_EQ(1, begin.SetBeginOfGMTPeriod(period));
    ASSERT_EQ(1, end.SetEndOfGMTPeriod(period));
    EXPECT_EQ(std::string(first) + " " + last, Print(begin) + " " + Print(end)) << period;
    EXPECT_EQ(0, begin.Ms() + end.Ms());
  }
  for (int bad : {0, 7, 9}) {
    Timestamp t = At(wednesday);
    EXPECT_EQ(0, t.SetBeginOfLocalPeriod(bad) + t.SetEndOfGMTPeriod(bad));
    EXPECT_EQ(wednesday, t.GMTCount());
  }
  // Local periods follow local midnight, on either side of a clock change.
  const long local[][4] = {
      {wednesday, Timestamp::kDay, Utc(2008, 5, 14, 4, 0, 0), Utc(2008, 5, 15, 4, 0, 0)},
      {wednesday, Timestamp::kWeek, Utc(2008, 5, 12, 4, 0, 0), Utc(2008, 5, 19, 4, 0, 0)},
      {Utc(2008, 10, 26, 12, 0, 0), Timestamp::kDay, Utc(2008, 10, 26, 4, 0, 0),
       Utc(2008, 10, 27, 5, 0, 0)}};
  for (const auto& c : local) {
    Timestamp begin = At(c[0]), end = At(c[0]);
    ASSERT_EQ(1, begin.SetBeginOfLocalPeriod(static_cast<int>(c[1])));
    ASSERT_EQ(1, end.SetEndOfLocalPeriod(static_cast<int>(c[1])));
    EXPECT_EQ(c[2], begin.GMTCount()) << c[0];
    EXPECT_EQ(c[3], end.GMTCount()) << c[0];
  }
}

TEST_F(TimestampTest, ControlledTimeDrivesSetNowAndFileTimes) {
  Timestamp now;
  Timestamp::controlledTimeFreeze();
  ASSERT_TRUE(Timestamp::isTimeControlled());
  now.SetNow();
  Timestamp::controlledTimeAdd(Utc(2008, 7, 1, 10, 0, 30) - now.GMTCount());
  Timestamp::controlledTimeGoToNextModulo(3600);
  now.SetNow();
  EXPECT_EQ(Utc(2008, 7, 1, 11, 0, 0), now.GMTCount());
  EXPECT_EQ(0, now.Ms());
  Timestamp::controlledTimeGoToNextModulo(3600);
  now.SetNow();
  EXPECT_EQ(Utc(2008, 7, 1, 12, 0, 0), now.GMTCount());

  // The current year prints the time of day, other years the year.
  EXPECT_EQ("Apr  6 12:05", Print(At(Utc(2008, 4, 6, 16, 5, 0)), &Timestamp::PrintLocalFileTime));
  EXPECT_EQ("Dec 31 2007", Print(At(Utc(2008, 1, 1, 4, 0, 0)), &Timestamp::PrintLocalFileTime));

  // A controlled time in the past ends at once.
  Timestamp::controlledTimeResume();
  EXPECT_FALSE(Timestamp::isTimeControlled());
  now.SetNow();
  EXPECT_NEAR(static_cast<double>(time(nullptr)), now.GMTCount(), 2);

  // One ahead of the clock is waited for.
  Timestamp::controlledTimeFreeze();
  Timestamp::controlledTimeAdd(1);
  now.SetNow();
  Timestamp::controlledTimeResume();
  EXPECT_GE(static_cast<long>(time(nullptr)), now.GMTCount());
}

TEST_F(TimestampTest, TwoThreadsConstructingTheFirstTimestampBuildTheTableOnce) {
  // A long table file keeps the builder busy while the other thread arrives.
  std::string padding;
  for (int i = 0; i < 20000; i++) {
    padding += "# a comment line to read through\n";
  }
  for (int round = 0; round < 3; round++) {
    UseZone(padding);
    std::atomic<int> ready{0};
    bool built[2] = {false, false};
    std::string printed[2];
    auto first = [&](int i) {
      ready++;
      while (ready.load() < 2) {
      }
      Timestamp t;
      built[i] = DaylightTable::Process() != nullptr;
      t.SetGMTCount(Utc(2008, 7, 1, 12, 0, 0));
      printed[i] = Print(t, &Timestamp::PrintLocalVex);
    };
    std::thread a(first, 0), b(first, 1);
    a.join();
    b.join();
    EXPECT_EQ(1, DaylightTable::BuildCount());
    EXPECT_TRUE(built[0] && built[1]);
    EXPECT_EQ("2008.07.01-08.00.00", printed[0]);
    EXPECT_EQ(printed[0], printed[1]);
  }
}

TEST_F(TimestampTest, OnlyTheFullConstructorsBuildTheTableWhichLeavesTheCLibraryInUtc) {
  Timestamp raw(0L), other(0L);
  EXPECT_EQ(nullptr, DaylightTable::Process());
  other = raw;
  EXPECT_EQ(1, DaylightTable::BuildCount());
  DaylightTable::ResetForTest();
  Timestamp copy(raw);
  EXPECT_EQ(1, DaylightTable::BuildCount());
  Timestamp plain;
  EXPECT_EQ(1, DaylightTable::BuildCount());
  EXPECT_STREQ("", getenv("TZ"));
  EXPECT_EQ(0, Timestamp::timezone);
  struct tm fields = {};
  fields.tm_year = 108;
  fields.tm_mon = 6;
  fields.tm_mday = 1;
  fields.tm_isdst = -1;
  EXPECT_EQ(Utc(2008, 7, 1, 0, 0, 0), static_cast<long>(mktime(&fields)));
}
