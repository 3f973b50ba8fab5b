// DaylightTable: the daylight-saving transitions of one zone (UTC instants,
// sorted, with the offset and zone name entered at each), built from the
// host's zone description and from the rules of the "Btztab.conf" section
// named after that zone, or from built-in rules when there is none.
//
// The process keeps one table, built once by InitializeDayLightTable and
// never freed; tests may build their own objects. A table is filled by one
// thread and read-only afterwards; once published, the process table is safe
// for concurrent use.
#ifndef VIGILD_UTILS_DAYLIGHTTABLE_H
#define VIGILD_UTILS_DAYLIGHTTABLE_H

#include <atomic>
#include <string>
#include <vector>

class DaylightTable {
 public:
  static constexpr int kMaxTransitions = 256;
  static const char kFileName[];  // "Btztab.conf"

  struct Transition {
    long instant;  // UTC seconds
    int bias;      // seconds west of UTC from this instant on
    char zone[10];
    int daylight;
  };

  // Names as the C library reports them ("EST", "Eastern Daylight Time"...),
  // the standard offset in seconds west of UTC, and whether the zone has a
  // daylight-saving period at all.
  DaylightTable(const std::string& standardName, const std::string& daylightName, long timezoneWest,
                bool observesDaylight);

  // Reads the section for this zone from the file; when the file cannot be
  // read or has no such section, the built-in rules (first Sunday of April to
  // last Sunday of October, 1996-2037) apply instead, for zones that observe
  // daylight saving. 1 when the file had the section.
  int Load(const std::string& path);
  // One line of a table file: a section header (a zone name) or a rule
  // "minute hour day month year weekday ZONEbias" (day, year and weekday may
  // be ranges a-b).
  void TreatLine(const std::string& line);

  // The last transition at or before the instant, or null.
  const Transition* InEffectAt(long instant) const;
  int Size() const { return static_cast<int>(entries.size()); }
  const Transition& Entry(int i) const { return entries[i]; }

  const std::string& ShortStandardName() const { return shortStandard; }
  const std::string& ShortDaylightName() const { return shortDaylight; }
  const std::string& StandardBiasText() const { return standardBias; }
  const std::string& DaylightBiasText() const { return daylightBias; }
  const std::string& FullZoneName() const { return fullZoneName; }
  bool ZoneFound() const { return zoneFound; }

  // "H", then ":M" and ":S" while a remainder is left (remainders unsigned).
  static std::string BiasText(long seconds);
  // "Eastern Standard Time" gives "EST"; a name without a blank is kept.
  static std::string ShortName(const std::string& name);

  // Builds the process table from the host's zone (TZ) and CONF_DIRECTORY,
  // then switches the C library's zone to UTC. Runs once: callers arriving
  // while another thread builds wait for it.
  static void InitializeDayLightTable();
  // The process table, or null while it is not built.
  static const DaylightTable* Process();

  // Number of times the process table was built; ResetForTest forgets it so
  // that a test can build it again under another zone.
  static int BuildCount();
  static void ResetForTest();

 private:
  void _Insert(const Transition& entry);
  void _TreatRule(const std::vector<std::string>& fields);

  std::string shortStandard;
  std::string shortDaylight;
  std::string standardBias;
  std::string daylightBias;
  std::string fullZoneName;
  long standardWest;  // seconds west of UTC outside daylight saving
  bool observesDaylight;
  bool inSection;  // the lines being read belong to this zone's section
  bool zoneFound;
  std::vector<Transition> entries;  // sorted by instant, no duplicates

  // 0 not built, 1 being built, 2 built. The store of 2 publishes
  // processTable (release/acquire).
  static std::atomic<int> state;
  static std::atomic<int> buildCount;
  static const DaylightTable* processTable;
};

#endif  // VIGILD_UTILS_DAYLIGHTTABLE_H
