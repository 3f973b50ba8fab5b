#include "DaylightTable.h"

#include <ctype.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <fstream>

#include "Sleep.h"
#include "Timestamp.h"
#include "TlConfigurationGlobal.h"

const char DaylightTable::kFileName[] = "Btztab.conf";
std::atomic<int> DaylightTable::state{0};
std::atomic<int> DaylightTable::buildCount{0};
const DaylightTable* DaylightTable::processTable = nullptr;

namespace {

const char kSeparators[] = " \t'";
const size_t kMaxLineLength = 511;
const int kMaxRuleFields = 9;
// A range wider than this in a rule line is cut short: no real rule needs more
// values, and a typing error must not stall the process.
const long kMaxRangeValues = 500;

// Set on the thread that builds the process table, so that a Timestamp made
// while building (by the configuration store, say) does not wait for itself.
thread_local bool tlBuilding = false;

// Numbers of a rule are kept within what a calendar field can sensibly hold,
// so that no arithmetic on them can overflow.
long ReadNumber(const char* text, char** end) {
  return std::max(-1000000L, std::min(1000000L, strtol(text, end, 10)));
}

// "a-b" or "a".
void ParseRange(const std::string& text, long* lo, long* hi) {
  char* end = nullptr;
  *lo = ReadNumber(text.c_str(), &end);
  *hi = (*end == '-') ? ReadNumber(end + 1, &end) : *lo;
  *hi = std::min(*hi, *lo + kMaxRangeValues - 1);
}

// "H[:M[:S]]"; a leading minus applies to the whole offset, as BiasText
// writes it.
long ParseBias(const std::string& text) {
  const char* p = text.c_str();
  const bool negative = *p == '-';
  char* end = nullptr;
  long seconds = labs(ReadNumber(p, &end)) * 3600;
  if (*end == ':') {
    seconds += ReadNumber(end + 1, &end) * 60;
    if (*end == ':') {
      seconds += ReadNumber(end + 1, &end);
    }
  }
  return negative ? -seconds : seconds;
}

std::string Trimmed(const std::string& text) {
  const char* blanks = " \t\r\n";
  const size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) {
    return "";
  }
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

}  // namespace

DaylightTable::DaylightTable(const std::string& standardName, const std::string& daylightName,
                             long timezoneWest, bool observes)
    : shortStandard(ShortName(standardName)),
      shortDaylight(ShortName(daylightName)),
      standardBias(BiasText(timezoneWest)),
      daylightBias(BiasText(timezoneWest - 3600)),
      standardWest(timezoneWest),
      observesDaylight(observes),
      inSection(false),
      zoneFound(false) {
  fullZoneName = shortStandard + standardBias + shortDaylight;
  entries.reserve(kMaxTransitions);
}

std::string DaylightTable::ShortName(const std::string& name) {
  if (name.find(' ') == std::string::npos) {
    return name;
  }
  std::string initials;
  size_t at = name.find_first_not_of(kSeparators);
  while (at != std::string::npos) {
    initials += static_cast<char>(toupper(static_cast<unsigned char>(name[at])));
    at = name.find_first_of(kSeparators, at);
    at = name.find_first_not_of(kSeparators, at);
  }
  return initials;
}

std::string DaylightTable::BiasText(long seconds) {
  const long magnitude = labs(seconds);
  std::string text = (seconds < 0 ? "-" : "") + std::to_string(magnitude / 3600);
  const long rest = magnitude % 3600;
  if (rest != 0) {
    text += ":" + std::to_string(rest / 60);
    if (rest % 60 != 0) {
      text += ":" + std::to_string(rest % 60);
    }
  }
  return text;
}

int DaylightTable::Load(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  while (in && std::getline(in, line)) {
    if (line.size() > kMaxLineLength) {
      line.resize(kMaxLineLength);
    }
    TreatLine(line);
  }
  const int foundInFile = zoneFound ? 1 : 0;
  // A zone without daylight saving keeps its standard offset all year; the
  // built-in rules would invent a summer time for it.
  if (!zoneFound && observesDaylight) {
    TreatLine(fullZoneName);
    TreatLine("0 3 1-7   4  1996-2037 0   " + shortDaylight + daylightBias);
    TreatLine("0 1 25-31 10 1996-2037 0   " + shortStandard + standardBias);
  }
  // Without any transition every local time would read as UTC; a zone that
  // never changes gets its standard offset from the beginning of time.
  if (!zoneFound && !observesDaylight) {
    Transition standard = {};
    standard.instant = INT32_MIN;
    standard.bias = static_cast<int>(standardWest);
    snprintf(standard.zone, sizeof standard.zone, "%s", shortStandard.c_str());
    _Insert(standard);
  }
  inSection = false;
  return foundInFile;
}

void DaylightTable::TreatLine(const std::string& rawLine) {
  std::string line = rawLine.substr(0, rawLine.find('#'));
  line = Trimmed(line);
  if (line.size() <= 1) {
    return;
  }
  if (line.find_first_of(" \t") == std::string::npos) {
    inSection = line == fullZoneName;
    zoneFound = zoneFound || inSection;
    return;
  }
  std::vector<std::string> fields;
  size_t at = line.find_first_not_of(kSeparators);
  while (at != std::string::npos && static_cast<int>(fields.size()) < kMaxRuleFields) {
    const size_t end = line.find_first_of(kSeparators, at);
    fields.push_back(line.substr(at, end - at));
    at = line.find_first_not_of(kSeparators, end);
  }
  if (fields.size() == 7 && inSection) {
    _TreatRule(fields);
  }
}

void DaylightTable::_TreatRule(const std::vector<std::string>& fields) {
  const std::string& token = fields[6];
  Transition entry = {};
  std::string biasText;
  bool known = false;
  // The daylight name is tested last so that it wins when it contains the
  // standard name.
  const std::string* names[] = {&shortStandard, &shortDaylight};
  for (int isDaylight = 0; isDaylight < 2; isDaylight++) {
    const std::string& name = *names[isDaylight];
    const size_t at = name.empty() ? std::string::npos : token.find(name);
    if (at != std::string::npos) {
      snprintf(entry.zone, sizeof entry.zone, "%s", name.c_str());
      entry.daylight = isDaylight;
      biasText = token.substr(at + name.size());
      known = true;
    }
  }
  if (!known) {
    return;
  }
  entry.bias = static_cast<int>(ParseBias(biasText));

  const int minute = static_cast<int>(ReadNumber(fields[0].c_str(), nullptr));
  const int hour = static_cast<int>(ReadNumber(fields[1].c_str(), nullptr));
  const int month = static_cast<int>(ReadNumber(fields[3].c_str(), nullptr));
  long dayLo, dayHi, yearLo, yearHi, weekdayLo, weekdayHi;
  ParseRange(fields[2], &dayLo, &dayHi);
  ParseRange(fields[4], &yearLo, &yearHi);
  ParseRange(fields[5], &weekdayLo, &weekdayHi);
  Timestamp instant(0L);
  for (long y = yearLo; y <= yearHi; y++) {
    for (long d = dayLo; d <= dayHi; d++) {
      for (long w = weekdayLo; w <= weekdayHi; w++) {
        if (instant.SetFromGmt(static_cast<int>(y), month, static_cast<int>(d), hour, minute, 0,
                               static_cast<int>(w))) {
          // The rule gives the wall-clock time of the zone being entered.
          entry.instant = instant.GMTCount() + entry.bias;
          _Insert(entry);
        }
      }
    }
  }
}

void DaylightTable::_Insert(const Transition& entry) {
  auto at = std::lower_bound(entries.begin(), entries.end(), entry.instant,
                             [](const Transition& e, long instant) { return e.instant < instant; });
  if (at != entries.end() && at->instant == entry.instant) {
    return;
  }
  if (Size() >= kMaxTransitions) {
    return;
  }
  entries.insert(at, entry);
}

const DaylightTable::Transition* DaylightTable::InEffectAt(long instant) const {
  auto after = std::upper_bound(entries.begin(), entries.end(), instant,
                                [](long value, const Transition& e) { return value < e.instant; });
  return after == entries.begin() ? nullptr : &*(after - 1);
}

void DaylightTable::InitializeDayLightTable() {
  if (state.load(std::memory_order_acquire) == 2 || tlBuilding) {
    return;
  }
  int expected = 0;
  if (!state.compare_exchange_strong(expected, 1, std::memory_order_acq_rel)) {
    while (state.load(std::memory_order_acquire) != 2) {
      Sleep(100);
    }
    return;
  }
  tlBuilding = true;
  tzset();
  Timestamp::timezone = ::timezone;
  DaylightTable* table = new DaylightTable(tzname[0] ? tzname[0] : "", tzname[1] ? tzname[1] : "",
                                           ::timezone, ::daylight != 0);
  std::string directory = "./";
  try {
    TlConfigurationGlobal::Instance()->StringAtIfMissing("CONF_DIRECTORY", directory, "./");
  } catch (...) {
    // Without a configuration the table file is looked for where we run.
    directory = "./";
  }
  table->Load(directory + kFileName);

  // From here on the C library works in UTC; local time is ours to compute.
  setenv("TZ", "", 1);
  tzset();
  Timestamp::timezone = ::timezone;
  processTable = table;
  buildCount.fetch_add(1);
  tlBuilding = false;
  state.store(2, std::memory_order_release);
}

const DaylightTable* DaylightTable::Process() {
  return state.load(std::memory_order_acquire) == 2 ? processTable : nullptr;
}

int DaylightTable::BuildCount() { return buildCount.load(); }

void DaylightTable::ResetForTest() {
  delete processTable;
  processTable = nullptr;
  buildCount.store(0);
  state.store(0);
}
