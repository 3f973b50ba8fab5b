// ConfigNumber: reads a whole number from the configuration store and checks
// it. A value that is not a whole number, or lies outside the key's range,
// gives one Error record naming the key and the value, and the key's default
// is used instead: a typo never becomes 0 (which for a retention count would
// delete every older log file).
//
// Static functions only. Safe for concurrent use (the store and the log
// server are).
#ifndef VIGILD_LOGGING_CONFIGNUMBER_H
#define VIGILD_LOGGING_CONFIGNUMBER_H

#include <string>

class TlConfiguration;

class ConfigNumber {
 public:
  // True, with *out set, when text is an optional sign and decimal digits
  // (blanks around them allowed) whose value lies in [low, high].
  static bool Parse(const std::string& text, long low, long high, long* out);
  // The number in text, or dflt after the Error record when text is no
  // number in [low, high].
  static long Check(const std::string& key, const std::string& text, long dflt, long low,
                    long high);
  // Check of key's value in store (own key, then GLOBAL.); a missing key
  // gives dflt without a record.
  static long Read(const TlConfiguration& store, const std::string& key, long dflt, long low,
                   long high);
};

#endif  // VIGILD_LOGGING_CONFIGNUMBER_H
