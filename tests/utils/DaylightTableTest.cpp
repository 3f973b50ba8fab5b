#include <gtest/gtest.h>

#include <tuple>

#include "DaylightTable.h"

TEST(DaylightTableTest, HostZoneNamesTheSectionAndZonesWithoutDaylightKeepNoDefaults) {
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
}

TEST(DaylightTableTest, AbsurdRangesSpendTheDateBudgetAndLaterRulesAreIgnored) {
  DaylightTable table("EST", "EDT", 18000, true);
  table.TreatLine("EST5EDT");
  // 500 days x 500 years x 7 weekdays, none of them a date the clock can
  // hold (and weekdays 7 to 9 and 11 on never match): without a budget one
  // such line tries 1.75 million dates, and a file of them stalls start-up.
  table.TreatLine("0 2 8-7401 0 3000-3600 0-11 EDT4");
  EXPECT_EQ(0, table.Size());
  table.TreatLine("0 2 1-7 4 2020 0 EDT4");  // a real rule, after the budget was spent
  EXPECT_EQ(0, table.Size());

  DaylightTable fresh("EST", "EDT", 18000, true);
  fresh.TreatLine("EST5EDT");
  fresh.TreatLine("0 2 1-7 4 2020 0 EDT4");
  EXPECT_EQ(1, fresh.Size());  // the same rule counts in a table with budget left
}
