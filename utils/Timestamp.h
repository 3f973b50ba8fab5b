// Timestamp: the program's one type for points in time and for durations: a
// UTC second count with a millisecond part, turned into local calendar fields
// through the process's own daylight-saving table (DaylightTable) instead of
// the C library's zone, which is UTC once that table is built.
//
// A value type owned by whoever declares it. One thread at a time: the
// calendar fields are a cache filled on demand. The static controlled-time
// functions are safe for concurrent use.
#ifndef VIGILD_UTILS_TIMESTAMP_H
#define VIGILD_UTILS_TIMESTAMP_H

#include <stdint.h>

#include <atomic>
#include <iosfwd>

class Timestamp {
 public:
  // Smallest buffer the Print functions may be given.
  static constexpr int kPrintBufferSize = 128;

  // Period codes of the SetBegin/SetEnd functions (7 is not a period).
  enum { kMinute = 1, kHour = 2, kDay = 3, kWeek = 4, kMonth = 5, kYear = 6, kSecond = 8 };
  // Weekday argument of SetFromGmt/SetFromLocal that accepts any day.
  static constexpr int kAnyWeekday = 10;

  // These three build the process's daylight-saving table first, if needed.
  Timestamp();
  Timestamp(const Timestamp& other);
  Timestamp& operator=(const Timestamp& other);
  // A cleared value that leaves the table alone: the table's own loader uses
  // it. The argument is ignored.
  explicit Timestamp(long unused);

  int Clear();
  bool IsNull() const { return count == 0 || count == -1; }
  bool IsNever() const { return never != 0; }
  // An infinitely late instant, printed "_never_".
  void SetNever();

  int SetNow();
  int SetGMTCount(long seconds);
  long GMTCount() const { return count; }
  int Ms() const { return ms; }

  // Years from 1900 on are calendar years, smaller ones count from 1900;
  // month is 1-12 and out-of-range fields carry over. A weekday of 0-6 must
  // match the resulting date; kAnyWeekday matches all. 0 when the date does
  // not match or does not fit the count, which is then left unchanged.
  int SetFromGmt(int year, int month, int day, int hour, int min, int sec, int weekday);
  int SetFromLocal(int year, int month, int day, int hour, int min, int sec, int weekday);

  // Calendar fields of the last conversion (ConvertToGMT or ConvertToLocal);
  // a value changed since is converted to local time first. 0 when the
  // conversion fails.
  int Year();
  int Month();
  int Day();
  int Hour();
  int Min();
  int Sec();
  int DayOfWeek();  // 0 = Sunday
  int DayOfYear();  // 0 = January 1
  int SecondsFromMidnight();
  // Offset (seconds west of UTC), zone name and daylight flag of the last
  // conversion.
  int Bias() const { return bias; }
  const char* ZoneName() const { return zoneName; }
  bool IsDaylight() const { return daylight != 0; }

  int ConvertToGMT();
  int ConvertToLocal();

  Timestamp& operator+=(const Timestamp& other);
  Timestamp& operator+=(long seconds);
  Timestamp& operator-=(const Timestamp& other);
  Timestamp& operator-=(long seconds);
  void Addms(long milliseconds);
  // Same local time of day, n days later (or earlier); returns the new count.
  long AddDays(int n);

  // Milliseconds from other to this; beyond ten days either way, exactly ten
  // days.
  long GetmsDiff(const Timestamp& other) const;

  // Each writes into a caller's buffer of at least kPrintBufferSize bytes.
  // PrintShort and PrintLong show the last conversion, local time when there
  // is none; the others convert as their names say.
  void PrintGMTVex(char* buf);
  void PrintLocalVex(char* buf);
  void PrintShort(char* buf);
  void PrintLong(char* buf);
  void PrintLocalFileTime(char* buf);

  // An empty or null format reads the free form "y/m/d h:m:s" (trailing parts
  // optional); otherwise the format's YYYY, YYY, YY, MM, DD, HH, MI, SS and PM
  // tokens are read and its other characters must match. A non-empty
  // datePrefix is put before the text (with a blank) when a format is given.
  // On failure the value is cleared and 0 returned.
  int ScanFromGMT(const char* text, const char* format = nullptr, const char* datePrefix = nullptr);
  int ScanFromLocal(const char* text, const char* format = nullptr,
                    const char* datePrefix = nullptr);

  // Moves to the first or the first-after-last second of the period holding
  // this instant (weeks start on Monday) and clears the ms part. 0 for an
  // unknown period code.
  int SetBeginOfGMTPeriod(int period);
  int SetBeginOfLocalPeriod(int period);
  int SetEndOfGMTPeriod(int period);
  int SetEndOfLocalPeriod(int period);

  // Controlled time: while on, SetNow returns the controlled instant, which
  // tests and simulations move by hand.
  static bool isTimeControlled();
  static void controlledTimeFreeze();
  static void controlledTimeAdd(long seconds);
  static void controlledTimeGoToNextModulo(long modulo);
  // Waits for the real clock to catch up (at most a minute), then lets go.
  static void controlledTimeResume();

  // Seconds west of UTC of the C library's zone when it was last set: the
  // host's zone while the table is built, 0 afterwards. Written only by the
  // thread that builds the table, before the table is published.
  static long timezone;

  friend bool operator>(const Timestamp& a, const Timestamp& b);
  friend bool operator>=(const Timestamp& a, const Timestamp& b);
  friend bool operator<(const Timestamp& a, const Timestamp& b);
  friend bool operator<=(const Timestamp& a, const Timestamp& b);
  friend bool operator==(const Timestamp& a, const Timestamp& b);
  friend long operator-(const Timestamp& a, const Timestamp& b);

 private:
  int _SetFromFields(bool local, int year, int month, int day, int hour, int min, int sec,
                     int weekday);
  int _Scan(bool local, const char* text, const char* format, const char* datePrefix);
  int _SetPeriod(bool local, bool end, int period);
  int _Breakdown(long seconds);
  bool _EnsureConverted();
  void _CarryMs();
  void _CopyFrom(const Timestamp& other);
  void _PrintDuration(char* buf) const;

  // Seconds under controlled time; 0 when the real clock is used.
  static std::atomic<long> _controlledTime;

  int converted;  // 1 while the calendar fields below belong to count
  int daylight;
  int bias;           // seconds west of UTC; local = UTC - bias
  int32_t count;      // seconds since 1970-01-01 00:00:00 UTC
  char zoneName[12];  // "GMT" after ConvertToGMT, "" when no transition applied
  int year;
  int month;
  int day;
  int hour;
  int min;
  int sec;
  int ms;
  int dayOfWeek;
  int dayOfYear;
  unsigned char never;
};

long operator+(const Timestamp& t, long n);
long operator+(long n, const Timestamp& t);
long operator-(const Timestamp& t, long n);
long operator-(long n, const Timestamp& t);
// Seconds from b to a, rounded by the millisecond parts when within a day.
long operator-(const Timestamp& a, const Timestamp& b);
bool operator!=(const Timestamp& a, const Timestamp& b);

// Writes the PrintLong form.
std::ostream& operator<<(std::ostream& out, const Timestamp& t);

#endif  // VIGILD_UTILS_TIMESTAMP_H
