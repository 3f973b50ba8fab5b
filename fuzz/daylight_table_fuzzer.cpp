// The daylight table reader: the first input byte picks the host zone the
// table is built for, the rest is the table file. Afterwards the table must
// hold its promises (sorted, no duplicate instant, bounded size), and is
// queried over the whole range of instants it may cover.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include "DaylightTable.h"
#include "FuzzFile.h"

namespace {

struct Zone {
  const char* standardName;
  const char* daylightName;
  long west;
  bool observes;
};

// Names as the C library reports them, a zone that spells them out, zones
// east and west of UTC, and zones without daylight saving.
const Zone kZones[] = {
    {"EST", "EDT", 18000, true},
    {"CET", "CEST", -3600, true},
    {"Eastern Standard Time", "Eastern Daylight Time", 18000, true},
    {"IST", "IST", -19800, false},
    {"JST", "JST", -32400, false},
    {"UTC", "UTC", 0, false},
    {"NST", "NDT", 12600, true},
    {"", "", 0, true},
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static FuzzFile file("daylight_table");
  if (size == 0) {
    return 0;
  }
  const Zone& zone = kZones[data[0] % (sizeof kZones / sizeof kZones[0])];
  file.Fill(data + 1, size - 1);
  DaylightTable table(zone.standardName, zone.daylightName, zone.west, zone.observes);
  table.Load(file.Path());

  if (table.Size() > DaylightTable::kMaxTransitions) {
    abort();
  }
  for (int i = 1; i < table.Size(); ++i) {
    if (table.Entry(i - 1).instant >= table.Entry(i).instant) {
      abort();
    }
  }
  for (long instant = -86400L * 366 * 40; instant < 86400L * 366 * 80; instant += 86400L * 97) {
    const DaylightTable::Transition* in = table.InEffectAt(instant);
    if (in != nullptr && in->instant > instant) {
      abort();
    }
  }
  return 0;
}
