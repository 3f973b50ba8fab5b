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
