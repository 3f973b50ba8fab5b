#include <gtest/gtest.h>
#include <time.h>

#include <string>
#include <tuple>

#include "DaylightTable.h"
#include "TempDir.h"

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

int Weekday(int y, int mo, int d) {
  return static_cast<int>((Utc(y, mo, d, 0, 0, 0) / 86400 + 4) % 7);
}

DaylightTable Eastern() { return DaylightTable("EST", "EDT", 5 * 3600, true); }

std::string Describe(const DaylightTable::Transition& e) {
  return std::to_string(e.instant) + " " + e.zone + " " + std::to_string(e.bias) + " " +
         std::to_string(e.daylight);
}

}  // namespace

TEST(DaylightTableTest, ZoneDescriptorsFromHostNamesAndOffset) {
  // standard and daylight names, seconds west of UTC, zone descriptor, daylight bias
  const std::tuple<const char*, const char*, long, const char*, const char*> cases[] = {
      {"EST", "EDT", 18000, "EST5EDT", "4"},
      {"Eastern Standard Time", "Eastern Daylight Time", 18000, "EST5EDT", "4"},
      {"central europe'standard time", "CEST", -3600, "CEST-1CEST", "-2"},
      {"IST", "IST", -19800, "IST-5:30IST", "-6:30"},
      {"NST", "NDT", 12600, "NST3:30NDT", "2:30"},
      {"ODD", "ODT", 3605, "ODD1:0:5ODT", "0:0:5"},
      {"HMT", "HST", -1800, "HMT-0:30HST", "-1:30"}};
  for (const auto& [standard, summer, west, full, daylightBias] : cases) {
    DaylightTable table(standard, summer, west, true);
    EXPECT_EQ(full, table.FullZoneName()) << standard;
    EXPECT_EQ(daylightBias, table.DaylightBiasText()) << standard;
  }
}

TEST(DaylightTableTest, DefaultRulesGiveFirstSundayOfAprilAndLastSundayOfOctober) {
  DaylightTable table = Eastern();
  EXPECT_EQ(0, table.Load("/nonexistent/Btztab.conf"));
  ASSERT_EQ(2 * (2037 - 1996 + 1), table.Size());
  for (int y = 1996; y <= 2037; y++) {
    const int april = 1 + (7 - Weekday(y, 4, 1)) % 7;
    const int october = 31 - Weekday(y, 10, 31);
    EXPECT_EQ(std::to_string(Utc(y, 4, april, 7, 0, 0)) + " EDT 14400 1",
              Describe(table.Entry(2 * (y - 1996))));
    EXPECT_EQ(std::to_string(Utc(y, 10, october, 6, 0, 0)) + " EST 18000 0",
              Describe(table.Entry(2 * (y - 1996) + 1)));
  }
  DaylightTable utc("UTC", "UTC", 0, false);
  EXPECT_EQ(0, utc.Load("/nonexistent/Btztab.conf"));
  EXPECT_EQ(0, utc.Size());  // a zone without daylight saving keeps an empty table
}

TEST(DaylightTableTest, HostSectionOfTheFileReplacesTheDefaults) {
  TempDir tmp;
  tmp.WriteFile("Btztab.conf",
                "# zones of the site\nPST8PDT\n0 3 1-7 4 2000 0 PDT7\n"
                "EST5EDT   # ours\r\n30 2 8-14 3 2010 0 EDT4\n0\t1\t1-7\t11\t2010\t0\tEST5\n"
                "0 1 1-7 11 2010 0 EST5\n"        // the same instant again
                "0 1 1-7 11 2010 0 EST5 extra\n"  // eight fields
                "0 1 1-7 11 2010 EST5\n"          // six fields
                "0 1 1 11 2010 0-6 XYZ5\n"        // neither of our zone names
                "CET-1CEST\n0 1 1 1 2011 10 EST5\n");
  DaylightTable table = Eastern();
  EXPECT_EQ(1, table.Load(tmp.Join("Btztab.conf")));
  ASSERT_EQ(2, table.Size());
  EXPECT_EQ(std::to_string(Utc(2010, 3, 14, 6, 30, 0)) + " EDT 14400 1", Describe(table.Entry(0)));
  EXPECT_EQ(std::to_string(Utc(2010, 11, 7, 6, 0, 0)) + " EST 18000 0", Describe(table.Entry(1)));
}

TEST(DaylightTableTest, RangesExpandWithinTheTableLimit) {
  DaylightTable table("CET", "CEST", -3600, true), weekends("CET", "CEST", -3600, true);
  table.TreatLine("CET-1CEST");
  table.TreatLine("0 0 1-31 1 1970-2037 10 CET-1");  // far more instants than the table holds
  ASSERT_EQ(DaylightTable::kMaxTransitions, table.Size());
  EXPECT_EQ(Utc(1970, 1, 1, 0, 0, 0) - 3600, table.Entry(0).instant);
  for (int i = 1; i < table.Size(); i++) {
    ASSERT_LT(table.Entry(i - 1).instant, table.Entry(i).instant);
  }
  // Weekday ranges select, year shorthand counts from 1900, day 0 carries back.
  weekends.TreatLine("CET-1CEST");
  weekends.TreatLine("0 12 1-7 6 108 0-6 CEST-2");  // June 2008, any day
  weekends.TreatLine("0 12 0 7 2008 1 CEST-2");     // June 30th 2008 was a Monday
  ASSERT_EQ(8, weekends.Size());
  EXPECT_EQ(Utc(2008, 6, 1, 10, 0, 0), weekends.Entry(0).instant);
  EXPECT_EQ(Utc(2008, 6, 30, 10, 0, 0), weekends.Entry(7).instant);
}
