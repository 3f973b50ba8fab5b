#include "Timestamp.h"

#include <stdio.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>

#include <algorithm>
#include <ostream>
#include <string>

#include "DaylightTable.h"
#include "Sleep.h"
#include "TimestampScanner.h"

long Timestamp::timezone = 0;
std::atomic<long> Timestamp::_controlledTime{0};

namespace {

const char* const kWeekdays[] = {"sun", "mon", "tue", "wed", "thu", "fri", "sat"};
const char* const kMonths[] = {"Jan ", "Feb ", "Mar ", "Apr ", "May ", "Jun ",
                               "Jul ", "Aug ", "Sep ", "Oct ", "Nov ", "Dec "};

long FloorDiv(long a, long b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

// Days from 1970-01-01 to the given proleptic Gregorian date (month 1-12).
long DaysFromCivil(long y, long m, long d) {
  y -= m <= 2;
  const long era = FloorDiv(y, 400);
  const long yoe = y - era * 400;
  const long doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

// The UTC instant of the fields, carrying out-of-range fields over as mktime
// does, and the weekday of the resulting date.
void UtcInstant(int year, int month, int day, int hour, int min, int sec, long* instant,
                int* weekday) {
  long y = year >= 1900 ? year : 1900L + year;
  const long m0 = static_cast<long>(month) - 1;
  y += FloorDiv(m0, 12);
  const long days = DaysFromCivil(y, m0 - FloorDiv(m0, 12) * 12 + 1, 1) + day - 1;
  *instant = days * 86400 + hour * 3600L + min * 60L + sec;
  const long dayNumber = FloorDiv(*instant, 86400);
  *weekday = static_cast<int>((dayNumber + 4) - FloorDiv(dayNumber + 4, 7) * 7);
}

long RealNow() {
  struct timeval now;
  gettimeofday(&now, nullptr);
  return now.tv_sec;
}

}  // namespace

Timestamp::Timestamp() {
  DaylightTable::InitializeDayLightTable();
  Clear();
}

Timestamp::Timestamp(long /*unused*/) { Clear(); }

Timestamp::Timestamp(const Timestamp& other) {
  DaylightTable::InitializeDayLightTable();
  _CopyFrom(other);
}

Timestamp& Timestamp::operator=(const Timestamp& other) {
  DaylightTable::InitializeDayLightTable();
  _CopyFrom(other);
  return *this;
}

void Timestamp::_CopyFrom(const Timestamp& other) {
  converted = other.converted;
  daylight = other.daylight;
  bias = other.bias;
  count = other.count;
  memmove(zoneName, other.zoneName, sizeof zoneName);
  year = other.year;
  month = other.month;
  day = other.day;
  hour = other.hour;
  min = other.min;
  sec = other.sec;
  ms = other.ms;
  dayOfWeek = other.dayOfWeek;
  dayOfYear = other.dayOfYear;
  never = other.never;
}

int Timestamp::Clear() {
  converted = 0;
  daylight = 0;
  bias = 0;
  count = 0;
  memset(zoneName, 0, sizeof zoneName);
  year = month = day = hour = min = sec = ms = 0;
  dayOfWeek = dayOfYear = 0;
  never = 0;
  return 1;
}

void Timestamp::SetNever() {
  never = 1;
  converted = 0;
}

int Timestamp::SetNow() {
  const long controlled = _controlledTime.load();
  if (controlled > 0) {
    count = static_cast<int32_t>(controlled);
    ms = 0;
  } else {
    struct timeval now;
    gettimeofday(&now, nullptr);
    count = static_cast<int32_t>(now.tv_sec);
    ms = static_cast<int>(now.tv_usec / 1000);
  }
  never = 0;
  converted = 0;
  return 1;
}

int Timestamp::SetGMTCount(long seconds) {
  count = static_cast<int32_t>(seconds);
  ms = 0;
  never = 0;
  converted = 0;
  return 1;
}

int Timestamp::SetFromGmt(int y, int mo, int d, int h, int mi, int s, int weekday) {
  return _SetFromFields(false, y, mo, d, h, mi, s, weekday);
}

int Timestamp::SetFromLocal(int y, int mo, int d, int h, int mi, int s, int weekday) {
  return _SetFromFields(true, y, mo, d, h, mi, s, weekday);
}

int Timestamp::_SetFromFields(bool local, int y, int mo, int d, int h, int mi, int s, int weekday) {
  long instant;
  int actualWeekday;
  UtcInstant(y, mo, d, h, mi, s, &instant, &actualWeekday);
  if (weekday != kAnyWeekday && weekday != actualWeekday) {
    return 0;
  }
  if (local) {
    // The fields are wall-clock time: the offset is the one of the last
    // transition before that wall-clock reading taken as UTC.
    const DaylightTable* table = DaylightTable::Process();
    long offset = timezone;
    const DaylightTable::Transition* entry = table ? table->InEffectAt(instant) : nullptr;
    if (entry != nullptr) {
      offset = entry->bias;
    }
    instant += offset - timezone;
  }
  if (instant < INT32_MIN || instant > INT32_MAX) {
    return 0;
  }
  count = static_cast<int32_t>(instant);
  never = 0;
  converted = 0;
  return 1;
}

int Timestamp::_Breakdown(long seconds) {
  const time_t t = seconds;
  struct tm fields;
  if (gmtime_r(&t, &fields) == nullptr) {
    converted = 0;
    return 0;
  }
  year = fields.tm_year + 1900;
  month = fields.tm_mon + 1;
  day = fields.tm_mday;
  hour = fields.tm_hour;
  min = fields.tm_min;
  sec = fields.tm_sec;
  dayOfWeek = fields.tm_wday;
  dayOfYear = fields.tm_yday;
  return 1;
}

int Timestamp::ConvertToGMT() {
  bias = 0;
  daylight = 0;
  snprintf(zoneName, sizeof zoneName, "GMT");
  if (!_Breakdown(count)) {
    return 0;
  }
  converted = 1;
  return 1;
}

int Timestamp::ConvertToLocal() {
  const DaylightTable* table = DaylightTable::Process();
  const DaylightTable::Transition* entry = table ? table->InEffectAt(count) : nullptr;
  bias = static_cast<int>(entry ? entry->bias : timezone);
  daylight = entry ? entry->daylight : 0;
  snprintf(zoneName, sizeof zoneName, "%s", entry ? entry->zone : "");
  if (!_Breakdown(static_cast<long>(count) - bias)) {
    return 0;
  }
  converted = 1;
  return 1;
}

bool Timestamp::_EnsureConverted() { return converted != 0 || ConvertToLocal(); }

int Timestamp::Year() { return _EnsureConverted() ? year : 0; }
int Timestamp::Month() { return _EnsureConverted() ? month : 0; }
int Timestamp::Day() { return _EnsureConverted() ? day : 0; }
int Timestamp::Hour() { return _EnsureConverted() ? hour : 0; }
int Timestamp::Min() { return _EnsureConverted() ? min : 0; }
int Timestamp::Sec() { return _EnsureConverted() ? sec : 0; }
int Timestamp::DayOfWeek() { return _EnsureConverted() ? dayOfWeek : 0; }
int Timestamp::DayOfYear() { return _EnsureConverted() ? dayOfYear : 0; }
int Timestamp::SecondsFromMidnight() {
  return _EnsureConverted() ? hour * 3600 + min * 60 + sec : 0;
}

void Timestamp::_CarryMs() {
  while (ms >= 1000) {
    count++;
    ms -= 1000;
  }
  while (ms < 0) {
    count--;
    ms += 1000;
  }
  converted = 0;
}

Timestamp& Timestamp::operator+=(const Timestamp& other) {
  if (never) {
    return *this;
  }
  if (other.never) {
    SetNever();
    return *this;
  }
  count = static_cast<int32_t>(static_cast<long>(count) + other.count);
  ms += other.ms;
  _CarryMs();
  return *this;
}

Timestamp& Timestamp::operator+=(long seconds) {
  count = static_cast<int32_t>(count + seconds);
  converted = 0;
  return *this;
}

Timestamp& Timestamp::operator-=(const Timestamp& other) {
  if (never || other.never) {
    return *this;
  }
  count = static_cast<int32_t>(static_cast<long>(count) - other.count);
  ms -= other.ms;
  _CarryMs();
  return *this;
}

Timestamp& Timestamp::operator-=(long seconds) {
  if (!never) {
    count = static_cast<int32_t>(count - seconds);
    converted = 0;
  }
  return *this;
}

void Timestamp::Addms(long milliseconds) {
  const long total = ms + milliseconds;
  count = static_cast<int32_t>(count + total / 1000);
  ms = static_cast<int>(total % 1000);
  converted = 0;
}

long Timestamp::AddDays(int n) {
  if (ConvertToLocal()) {
    SetFromLocal(year, month, day + n, hour, min, sec, kAnyWeekday);
  }
  return count;
}

long Timestamp::GetmsDiff(const Timestamp& other) const {
  const long seconds = static_cast<long>(count) - other.count;
  if (seconds > 864000) {
    return 864000000L;
  }
  if (seconds < -864000) {
    return -864000000L;
  }
  return seconds * 1000 + (ms - other.ms);
}

void Timestamp::PrintGMTVex(char* buf) {
  ConvertToGMT();
  snprintf(buf, kPrintBufferSize, "%04d.%02d.%02d-%02d.%02d.%02d", year, month, day, hour, min,
           sec);
}

void Timestamp::PrintLocalVex(char* buf) {
  ConvertToLocal();
  snprintf(buf, kPrintBufferSize, "%04d.%02d.%02d-%02d.%02d.%02d", year, month, day, hour, min,
           sec);
}

void Timestamp::_PrintDuration(char* buf) const {
  const long total = count;
  const long magnitude = total < 0 ? -total : total;
  const char* sign = total < 0 ? "-" : "";
  const long days = magnitude / 86400;
  const long h = magnitude % 86400 / 3600;
  const long m = magnitude % 3600 / 60;
  const long s = magnitude % 60;
  if (days > 0) {
    snprintf(buf, kPrintBufferSize, "%s%ldd%02ldh%02ldm%02lds", sign, days, h, m, s);
  } else {
    snprintf(buf, kPrintBufferSize, "%s%02ldh%02ldm%02lds", sign, h, m, s);
  }
}

void Timestamp::PrintShort(char* buf) {
  if (never) {
    snprintf(buf, kPrintBufferSize, "_never_");
  } else if (Year() >= 1980) {
    snprintf(buf, kPrintBufferSize, "%04d/%02d/%02d %02d:%02d:%02d", year, month, day, hour, min,
             sec);
  } else {
    _PrintDuration(buf);
  }
}

void Timestamp::PrintLong(char* buf) {
  if (never) {
    snprintf(buf, kPrintBufferSize, "_never_");
  } else if (Year() < 1980) {
    _PrintDuration(buf);
  } else if (strcmp(zoneName, "GMT") == 0) {
    snprintf(buf, kPrintBufferSize, "[%d] %s %04d/%02d/%02d %02d:%02d:%02d %s", count,
             kWeekdays[dayOfWeek], year, month, day, hour, min, sec, zoneName);
  } else {
    snprintf(buf, kPrintBufferSize, "[%d] %s %04d/%02d/%02d %02d:%02d:%02d %s(GMT%s) %s", count,
             kWeekdays[dayOfWeek], year, month, day, hour, min, sec, zoneName,
             DaylightTable::BiasText(bias).c_str(), daylight ? "dst=On" : "dst=Off");
  }
}

void Timestamp::PrintLocalFileTime(char* buf) {
  snprintf(buf, kPrintBufferSize, "Jan 1 1970");
  if (!ConvertToLocal()) {
    return;
  }
  Timestamp now(0L);
  now.SetNow();
  if (year == now.Year()) {
    snprintf(buf, kPrintBufferSize, "%s%2d %02d:%02d", kMonths[month - 1], day, hour, min);
  } else {
    snprintf(buf, kPrintBufferSize, "%s%2d %04d", kMonths[month - 1], day, year);
  }
}

int Timestamp::ScanFromGMT(const char* text, const char* format, const char* datePrefix) {
  return _Scan(false, text, format, datePrefix);
}

int Timestamp::ScanFromLocal(const char* text, const char* format, const char* datePrefix) {
  return _Scan(true, text, format, datePrefix);
}

int Timestamp::_Scan(bool local, const char* text, const char* format, const char* datePrefix) {
  Clear();
  if (text == nullptr) {
    return 0;
  }
  TimestampScanner::Fields f;
  bool read;
  if (format == nullptr || *format == '\0') {
    read = TimestampScanner::ScanFree(text, f);
  } else {
    std::string full = text;
    if (datePrefix != nullptr && *datePrefix != '\0') {
      full = std::string(datePrefix) + " " + text;
    }
    read = TimestampScanner::ScanFormat(full, format, f);
  }
  if (read && _SetFromFields(local, f.year, f.month, f.day, f.hour, f.min, f.sec, kAnyWeekday)) {
    return 1;
  }
  Clear();
  return 0;
}

int Timestamp::SetBeginOfGMTPeriod(int period) { return _SetPeriod(false, false, period); }
int Timestamp::SetBeginOfLocalPeriod(int period) { return _SetPeriod(true, false, period); }
int Timestamp::SetEndOfGMTPeriod(int period) { return _SetPeriod(false, true, period); }
int Timestamp::SetEndOfLocalPeriod(int period) { return _SetPeriod(true, true, period); }

int Timestamp::_SetPeriod(bool local, bool end, int period) {
  if (period < kMinute || period > kSecond || period == 7) {
    return 0;
  }
  ms = 0;
  if (period == kSecond) {
    // Going through the calendar fields could move a local time that falls
    // twice in the night the clocks go back.
    if (end) {
      count++;
    }
    converted = 0;
    return 1;
  }
  if (!(local ? ConvertToLocal() : ConvertToGMT())) {
    return 0;
  }
  int y = year, mo = month, d = day, h = hour, mi = min;
  const int step = end ? 1 : 0;
  switch (period) {
    case kMinute:
      mi += step;
      break;
    case kHour:
      mi = 0;
      h += step;
      break;
    case kDay:
      h = mi = 0;
      d += step;
      break;
    case kWeek:
      h = mi = 0;
      // Back to this week's Monday, or on from tomorrow to the next Monday.
      d += end ? 1 + (7 + 1 - (dayOfWeek + 1) % 7) % 7 : -((dayOfWeek + 6) % 7);
      break;
    case kMonth:
      h = mi = 0;
      d = 1;
      mo += step;
      break;
    default:  // kYear
      h = mi = 0;
      d = 1;
      mo = 1;
      y += step;
      break;
  }
  return _SetFromFields(local, y, mo, d, h, mi, 0, kAnyWeekday);
}

bool Timestamp::isTimeControlled() { return _controlledTime.load() > 0; }

void Timestamp::controlledTimeFreeze() {
  long current = _controlledTime.load();
  while (current <= 0 && !_controlledTime.compare_exchange_weak(current, RealNow())) {
  }
}

void Timestamp::controlledTimeAdd(long seconds) {
  controlledTimeFreeze();
  _controlledTime.fetch_add(seconds);
}

void Timestamp::controlledTimeGoToNextModulo(long modulo) {
  controlledTimeFreeze();
  if (modulo <= 0) {
    return;
  }
  long current = _controlledTime.load();
  while (!_controlledTime.compare_exchange_weak(current, (current / modulo + 1) * modulo)) {
  }
}

void Timestamp::controlledTimeResume() {
  const long controlled = _controlledTime.load();
  if (controlled <= 0) {
    return;
  }
  const long ahead = controlled - RealNow();
  if (ahead > 0) {
    Sleep(static_cast<unsigned>(std::min(ahead * 1000, 60000L)));
  }
  _controlledTime.store(0);
}

// never is later than everything, itself included.
bool operator>(const Timestamp& a, const Timestamp& b) {
  return a.never || (!b.never && a.count > b.count);
}
bool operator>=(const Timestamp& a, const Timestamp& b) {
  return a.never || (!b.never && a.count >= b.count);
}
bool operator<(const Timestamp& a, const Timestamp& b) {
  return b.never || (!a.never && a.count < b.count);
}
bool operator<=(const Timestamp& a, const Timestamp& b) {
  return b.never || (!a.never && a.count <= b.count);
}
bool operator==(const Timestamp& a, const Timestamp& b) {
  return (a.never || b.never) ? (a.never && b.never) : a.count == b.count;
}

bool operator!=(const Timestamp& a, const Timestamp& b) { return !(a == b); }

long operator-(const Timestamp& a, const Timestamp& b) {
  long seconds = static_cast<long>(a.count) - b.count;
  if (seconds >= -86400 && seconds <= 86400) {
    const int msDiff = a.ms - b.ms;
    if (msDiff > 500) {
      seconds++;
    } else if (msDiff < -500) {
      seconds--;
    }
  }
  return seconds;
}

long operator+(const Timestamp& t, long n) { return t.GMTCount() + n; }
long operator+(long n, const Timestamp& t) { return t.GMTCount() + n; }
long operator-(const Timestamp& t, long n) { return t.GMTCount() - n; }
long operator-(long n, const Timestamp& t) { return n - t.GMTCount(); }

std::ostream& operator<<(std::ostream& out, const Timestamp& t) {
  Timestamp copy(t);
  char buf[Timestamp::kPrintBufferSize];
  copy.PrintLong(buf);
  return out << buf;
}
