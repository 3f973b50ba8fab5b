#include <time.h>

#include "DaylightTable.h"
#include "TestCommon.h"
#include "Timestamp.h"
#include "TlConfigurationGlobal.h"

namespace {

// The C library's own calendar arithmetic, as an independent oracle.
long Utc(int y, int mo, int d, int h, int mi, int s) {
  struct tm fields = {};
  fields.tm_year = y - 1900;
  fields.tm_mon = mo - 1;
  fields.tm_mday = d;
  return static_cast<long>(timegm(&fields)) + h * 3600 + mi * 60 + s;
}

Timestamp At(long count, long ms = 0) {
  Timestamp t;
  t.SetGMTCount(count);
  t.Addms(ms);
  return t;
}

using Printer = void (Timestamp::*)(char*);
std::string Print(Timestamp t, Printer printer = &Timestamp::PrintGMTVex) {
  char buf[Timestamp::kPrintBufferSize];
  (t.*printer)(buf);
  return buf;
}

// The C library's view of an instant, in the zone TZ names.
std::string Oracle(long count, const char* format = "%Y.%m.%d-%H.%M.%S") {
  const time_t t = count;
  struct tm fields;
  char buf[64];
  strftime(buf, sizeof buf, format, localtime_r(&t, &fields));
  return buf;
}

std::string Long(long count, const char* tail) { return "[" + std::to_string(count) + "] " + tail; }

}  // namespace

// Each case builds the table afresh for TZ=EST5EDT, in a table directory of its own.
class TimestampTest : public ::testing::Test {
 protected:
  void SetUp() override { UseZone(""); }
  void TearDown() override { TlConfigurationGlobal::DeleteInstance(); }
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

TEST_F(TimestampTest, ControlledTimeDrivesSetNowAndPrintFormsOfInstantsAndDurations) {
  Timestamp now;
  Timestamp::controlledTimeAdd(Utc(2008, 7, 1, 10, 0, 30) - time(nullptr));  // freezes first
  Timestamp::controlledTimeGoToNextModulo(3600);
  now.SetNow();
  EXPECT_EQ(Utc(2008, 7, 1, 11, 0, 0) * 1000, now.GMTCount() * 1000 + now.Ms());
  const long autumn = Utc(2008, 10, 26, 6, 0, 0);
  // Values before 1980 are durations. A file time of the current year prints the time of day,
  // of other years the year.
  const std::tuple<Printer, Timestamp, std::string> cases[] = {
      {&Timestamp::PrintLong, At(autumn),
       Long(autumn, "sun 2008/10/26 01:00:00 EST(GMT5) dst=Off")},
      {&Timestamp::PrintShort, At(86400 + 2 * 3600 + 3 * 60 + 4), "1d02h03m04s"},
      {&Timestamp::PrintLong, At(59), "00h00m59s"},
      {&Timestamp::PrintShort, At(-90), "-00h01m30s"},
      {&Timestamp::PrintShort, At(Utc(1979, 12, 31, 23, 59, 59)), "3651d23h59m59s"},
      {&Timestamp::PrintLocalFileTime, At(Utc(2008, 4, 6, 16, 5, 0)), "Apr  6 12:05"},
      {&Timestamp::PrintLocalFileTime, At(Utc(2008, 1, 1, 4, 0, 0)), "Dec 31 2007"}};
  for (const auto& [printer, t, text] : cases) {
    EXPECT_EQ(text, Print(t, printer));
  }
  // A controlled time in the past ends at once.
  Timestamp::controlledTimeResume();
  EXPECT_FALSE(Timestamp::isTimeControlled());
}

// The default transitions fall on the first Sunday of April and the last of
// October at 02:00 local, which the C library's own rules express for EST5EDT.
TEST_F(TimestampTest, LocalTimeAgreesWithTheCLibraryAroundDefaultTransitionsOrFollowsTheFile) {
  // Before the table's first transition local time is UTC.
  EXPECT_EQ("1996.04.07-06.59.59 1996.04.07-03.00.00",
            Print(At(828860399), &Timestamp::PrintLocalVex) + " " +
                Print(At(828860400), &Timestamp::PrintLocalVex));
  for (const char* zone : {"EST5EDT,M4.1.0,M10.5.0", "JST-9", "IST-5:30", "HST10", "UTC0"}) {
    SCOPED_TRACE(zone);
    setenv("TZ", zone, 1);
    DaylightTable::ResetForTest();
    At(0);  // builds the table, which leaves the C library in UTC: the oracle needs the zone back
    setenv("TZ", zone, 1);
    tzset();
    for (long day = Utc(1996, 4, 8, 0, 0, 0); day < Utc(2038, 1, 1, 0, 0, 0); day += 86400) {
      for (long t : {day + 6 * 3600 - 1, day + 6 * 3600, day + 7 * 3600 - 1, day + 7 * 3600}) {
        ASSERT_EQ(Oracle(t), Print(At(t), &Timestamp::PrintLocalVex)) << t;
      }
      ASSERT_EQ(Oracle(day, "%Y/%m/%d %H:%M:%S"), Print(At(day), &Timestamp::PrintShort));
    }
  }
  // A section of the table file for the host zone replaces the defaults.
  const long summer = Utc(2008, 7, 1, 12, 0, 0), change = Utc(2010, 3, 14, 6, 30, 0);
  const std::string other = "# zones of the site\nPST8PDT\n0 3 1-7 4 2000 0 EDT4\n";
  UseZone(other);
  EXPECT_EQ("2008.07.01-08.00.00", Print(At(summer), &Timestamp::PrintLocalVex));
  EXPECT_EQ(84, DaylightTable::Process()->Size());
  // Lines of the wrong shape, repeats and rules after the next header are left out.
  UseZone(other +
          "EST5EDT   # ours\r\n30 2 8-14 3 2010 0 EDT4\n0\t1\t1-7\t11\t2010\t0\tEST5\n"
          "0 1 1-7 11 2010 0 EST5\n0 2 1-7 11 2010 0 EST5 extra\n0 3 1-7 11 2010 EST5\n"
          "0 1 1 11 2010 0-6 XYZ5\nCET-1CEST\n0 1 1 1 2011 10 EST5\n");
  EXPECT_EQ("2008.07.01-12.00.00", Print(At(summer), &Timestamp::PrintLocalVex));
  ASSERT_EQ(2, DaylightTable::Process()->Size());
  EXPECT_EQ(Long(change, "sun 2010/03/14 02:30:00 EDT(GMT4) dst=On"),
            Print(At(change), &Timestamp::PrintLong));
}

TEST_F(TimestampTest, NeverIsLaterThanEverythingAndDifferencesAreClampedOrRounded) {
  Timestamp n, sum = At(100, 700);
  n.SetNever();
  const Timestamp a = At(100, 300), a2 = At(100, 900), b = At(200);
  EXPECT_TRUE(n > a && n >= a && n > n && a < n && a <= n && n == n && n != a);
  EXPECT_FALSE(a > n || a >= n || n < a || n <= a || n == a);
  // Milliseconds do not count.
  EXPECT_TRUE(a == a2 && a <= a2 && a >= a2 && !(a < a2) && b > a && a < b && a != b);
  Timestamp whole = sum;
  whole += At(5, 300);  // exactly a second of milliseconds carries too
  sum += At(5, 400);
  EXPECT_EQ(std::make_pair(106L, 0), std::make_pair(whole.GMTCount(), whole.Ms()));
  EXPECT_EQ(std::make_pair(106L, 100), std::make_pair(sum.GMTCount(), sum.Ms()));
  sum += n;
  EXPECT_TRUE(sum.IsNever());
  const long day = 86400;
  // Sums with seconds, milliseconds apart, then seconds apart: rounded by the milliseconds
  // only within one day.
  EXPECT_EQ((std::vector<long>{1005, -500, 864000000, -864000000, 864000005, 1500, 11, 10, -11,
                               86401, 86401}),
            (std::vector<long>{5 + At(1000), 500 - At(1000), At(11 * day).GetmsDiff(At(0)),
                               At(0).GetmsDiff(At(11 * day)), At(10 * day, 5).GetmsDiff(At(0)),
                               At(5, 200).GetmsDiff(At(3, 700)), At(day + 10, 600) - At(day),
                               At(day + 10, 500) - At(day), At(day - 10) - At(day, 501),
                               At(2 * day, 900) - At(day), At(2 * day + 1, 900) - At(day)}));
}

TEST_F(TimestampTest, ScanningSetsTheValueOrClearsItAndSetFromGmtChecksTheWeekday) {
  // local, text, format (null or empty: the free form), prefix, instant (0: rejected)
  const std::tuple<bool, const char*, const char*, const char*, long> cases[] = {
      {false, "07/3/4", nullptr, nullptr, Utc(2007, 3, 4, 0, 0, 0)},
      {true, "2008/7/4 12:00", "", nullptr, Utc(2008, 7, 4, 16, 0, 0)},
      {true, "01:30 pm", "YYYY/MM/DD HH:MI PM", "2008/07/04", Utc(2008, 7, 4, 17, 30, 0)},
      {false, "70/1/2", nullptr, nullptr, Utc(1970, 1, 2, 0, 0, 0)},
      {false, "14/05/08 02:05PM", "DD/MM/YY HH:MIPM", nullptr, Utc(2008, 5, 14, 14, 5, 0)},
      {false, "9850704", "YYYMMDD", nullptr, Utc(1985, 7, 4, 0, 0, 0)},  // 901-999: 1901-1999
      {false, "05/14", "MM/DD", nullptr, Utc(2000, 5, 14, 0, 0, 0)},     // no year: 2000
      {false, "2037/12/31 23:59:59", nullptr, nullptr, Utc(2037, 12, 31, 23, 59, 59)},
      {false, "1969/12/31 23:59:59", nullptr, nullptr, 0},
      {false, "2038/1/1", nullptr, nullptr, 0},
      {false, "69/1/1", nullptr, nullptr, 0},  // 2069
      {false, "2008/5/14 24:00", nullptr, nullptr, 0},
      {false, "2008x05", "YYYY-MM", nullptr, 0},
      {false, "2008-05-14 23:00 PM", "YYYY-MM-DD HH:MI PM", nullptr, 0}};
  for (const auto& [local, text, format, prefix, count] : cases) {
    Timestamp t = At(123456, 789);
    EXPECT_EQ(count != 0,
              local ? t.ScanFromLocal(text, format, prefix) : t.ScanFromGMT(text, format, prefix))
        << text;
    EXPECT_EQ(count * 1000, t.GMTCount() * 1000 + t.Ms()) << text;
  }
  Timestamp t;
  EXPECT_EQ(0, t.SetFromGmt(2008, 5, 14, 0, 0, 0, 0) + t.SetFromGmt(2008, 5, 14, 0, 0, 0, 7));
  EXPECT_TRUE(t.IsNull());
  EXPECT_EQ(1, t.SetFromGmt(2008, 5, 14, 0, 0, 0, 3));  // a Wednesday
  EXPECT_EQ(Utc(2008, 5, 14, 0, 0, 0), t.GMTCount());
}

TEST_F(TimestampTest, PeriodBoundaries) {
  const long wednesday = Utc(2008, 5, 14, 10, 20, 30), sunday = Utc(2008, 5, 18, 15, 0, 0);
  const long eve = Utc(2008, 12, 31, 23, 0, 0), fallBack = Utc(2008, 10, 26, 12, 0, 0);
  // Local periods follow local midnight: 25 hours long on the day the clocks go back.
  const std::tuple<bool, long, int, const char*> cases[] = {
      {false, wednesday, Timestamp::kSecond, "2008.05.14-10.20.30 2008.05.14-10.20.31"},
      {false, wednesday, Timestamp::kDay, "2008.05.14-00.00.00 2008.05.15-00.00.00"},
      {false, sunday, Timestamp::kWeek, "2008.05.12-00.00.00 2008.05.19-00.00.00"},
      {false, eve, Timestamp::kMonth, "2008.12.01-00.00.00 2009.01.01-00.00.00"},
      {false, wednesday, Timestamp::kYear, "2008.01.01-00.00.00 2009.01.01-00.00.00"},
      {true, fallBack, Timestamp::kDay, "2008.10.26-04.00.00 2008.10.27-05.00.00"}};
  for (const auto& [local, count, period, expected] : cases) {
    Timestamp begin = At(count, 500), end = At(count, 500);
    ASSERT_EQ(2, local ? begin.SetBeginOfLocalPeriod(period) + end.SetEndOfLocalPeriod(period)
                       : begin.SetBeginOfGMTPeriod(period) + end.SetEndOfGMTPeriod(period));
    EXPECT_EQ(expected, Print(begin) + " " + Print(end));
    EXPECT_EQ(0, begin.Ms() + end.Ms());
  }
}

TEST_F(TimestampTest, TwoThreadsConstructingTheFirstTimestampBuildTheTableOnce) {
  // A long table file keeps the builder busy while the other thread arrives.
  std::string padding;
  for (int i = 0; i < 100000; i++) {
    padding += "# a comment line to read through\n";
  }
  UseZone(padding);
  // Worked out before the race: timegm touches the C library's zone as the builder reads it.
  const long july = Utc(2008, 7, 1, 12, 0, 0);
  std::atomic<int> ready{0};
  std::string printed[2];
  auto first = [&](int i) {
    ready++;
    while (ready.load() < 2) {
    }
    printed[i] = Print(At(july), &Timestamp::PrintLocalVex);
  };
  std::thread a(first, 0), b(first, 1);
  a.join();
  b.join();
  EXPECT_EQ(1, DaylightTable::BuildCount());
  EXPECT_EQ("2008.07.01-08.00.00 2008.07.01-08.00.00", printed[0] + " " + printed[1]);
}

TEST(DaylightTableTest, HostZoneNamesTheSectionAndRuleExpansionStopsAtTheTableAndDateBudgets) {
  // standard and daylight names, seconds west of UTC, daylight saving, section name
  const std::tuple<const char*, const char*, long, bool, const char*> cases[] = {
      {"Eastern Standard Time", "Eastern Daylight Time", 18000, true, "EST5EDT"},
      {"central europe'standard time", "CEST", -3600, true, "CEST-1CEST"},
      {"IST", "IST", -19800, true, "IST-5:30IST"},
      {"UTC", "UTC", 0, false, "UTC0UTC"}};
  for (const auto& [standard, summer, west, observes, section] : cases) {
    DaylightTable table(standard, summer, west, observes);
    EXPECT_EQ(0, table.Load("/nonexistent/Btztab.conf"));
    EXPECT_EQ(section, table.FullZoneName()) << standard;
    // A zone without daylight saving has its one standard entry.
    EXPECT_EQ(observes ? 84 : 1, table.Size()) << standard;
  }
  DaylightTable table("CET", "CEST", -3600, true);
  table.TreatLine("CET-1CEST");
  table.TreatLine("0 0 1-31 1 1970-2037 10 CET-1");  // far more instants than the table holds
  EXPECT_EQ(DaylightTable::kMaxTransitions, table.Size());
  // 500 days x 500 years x 7 weekdays, none of them a date the clock can
  // hold (and weekdays 7 to 9 and 11 on never match): without a budget one
  // such line tries 1.75 million dates, and a file of them stalls start-up.
  DaylightTable spent("EST", "EDT", 18000, true), fresh("EST", "EDT", 18000, true);
  spent.TreatLine("EST5EDT");
  spent.TreatLine("0 2 8-7401 0 3000-3600 0-11 EDT4");
  spent.TreatLine("0 2 1-7 4 2020 0 EDT4");  // a real rule, after the budget was spent
  fresh.TreatLine("EST5EDT");
  fresh.TreatLine("0 2 1-7 4 2020 0 EDT4");  // the same rule counts with budget left
  EXPECT_EQ(std::make_pair(0, 1), std::make_pair(spent.Size(), fresh.Size()));
}
