#include "ConfigNumber.h"

#include <errno.h>
#include <stdlib.h>

#include "LogServer.h"
#include "TlConfiguration.h"

bool ConfigNumber::Parse(const std::string& text, long low, long high, long* out) {
  const char* blanks = " \t";
  const size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) {
    return false;
  }
  const std::string trimmed = text.substr(first, text.find_last_not_of(blanks) - first + 1);
  // strtol alone would also take leading blanks inside, "0x1f" never: digits only.
  const size_t digits = trimmed[0] == '-' || trimmed[0] == '+' ? 1 : 0;
  if (trimmed.size() == digits ||
      trimmed.find_first_not_of("0123456789", digits) != std::string::npos) {
    return false;
  }
  errno = 0;
  const long value = strtol(trimmed.c_str(), nullptr, 10);
  if (errno == ERANGE || value < low || value > high) {
    return false;
  }
  *out = value;
  return true;
}

long ConfigNumber::Check(const std::string& key, const std::string& text, long dflt, long low,
                         long high) {
  long value = 0;
  if (Parse(text, low, high, &value)) {
    return value;
  }
  LogServer::Report(Error, "DL30000",
                    "[ConfigNumber] ERROR : " + key + "='" + text +
                        "' is not a whole number from " + std::to_string(low) + " to " +
                        std::to_string(high) + ", the default " + std::to_string(dflt) + " is used",
                    "GENERIC", true);
  return dflt;
}

long ConfigNumber::Read(const TlConfiguration& store, const std::string& key, long dflt, long low,
                        long high) {
  std::string text;
  if (!store._At(key, text)) {
    return dflt;
  }
  return Check(key, text, dflt, low, high);
}
