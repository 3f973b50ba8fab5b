// TimestampScanner: reads the calendar fields of a date and time from text,
// either in the free form "y/m/d h:m:s" (trailing parts optional) or after a
// format made of the tokens YYYY, YYY, YY, MM, DD, HH, MI, SS and PM and of
// characters the text must repeat. Short years are completed (69 is 2069,
// 70 is 1970) and fields out of range, years outside 1970-2037 included, fail.
//
// Only static functions, no state: safe for concurrent use.
#ifndef VIGILD_UTILS_TIMESTAMPSCANNER_H
#define VIGILD_UTILS_TIMESTAMPSCANNER_H

#include <string>

class TimestampScanner {
 public:
  struct Fields {
    int year, month, day, hour, min, sec;
  };

  // The fields a text gives; unwritten ones are month and day 1, others 0.
  static bool ScanFree(const char* text, Fields& out);
  // A token takes as many characters as it is long, or fewer when the format
  // character that follows it comes first. PM adds 12 hours for "PM"/"pm".
  static bool ScanFormat(const std::string& text, const char* format, Fields& out);

 private:
  static bool _Valid(const Fields& f);
  static int _CompleteYear(int year);
};

#endif  // VIGILD_UTILS_TIMESTAMPSCANNER_H
