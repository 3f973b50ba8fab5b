#include "LogSettings.h"

#include <string>

#include "ConfigNumber.h"
#include "TlConfigurationGlobal.h"

namespace {

TlConfiguration* Store() { return TlConfigurationGlobal::Instance().get(); }

// The value of key (scoped lookup), or when that is missing or empty the
// value of the older full key legacyKey; "" when both are.
std::string ReadWithFallback(const char* key, const char* legacyKey) {
  std::string value;
  Store()->StringAtIfMissing(key, value, "");
  if (value.empty()) {
    Store()->AtGlobalIfMissing(legacyKey, value, "");
  }
  return value;
}

// Largest retention and debug level accepted; beyond them a value is a typo.
constexpr long kMaxRetentionDays = 100000;
constexpr long kMaxDebugLevel = 10;
// The facility is the code a datagram's priority carries (facility number
// times 8); the last facility, local7, is 23.
constexpr long kMaxFacilityCode = 23 * 8;

// Treats an empty value like a missing one.
bool NonEmptyStringAt(const char* key, std::string& out) {
  try {
    Store()->StringAt(key, out);
  } catch (const std::string&) {
    out.clear();
  }
  return !out.empty();
}

}  // namespace

int LogSettings::getStartDebugLevel() {
  return static_cast<int>(
      ConfigNumber::Read(*Store(), "LOGMANAGER.DEBUGLEVEL", 2, 0, kMaxDebugLevel));
}

String LogSettings::getStartDebugPath() {
  std::string path;
  if (NonEmptyStringAt("LOGMANAGER.LOGDIR", path)) {
    return String(path.c_str());
  }
  if (!NonEmptyStringAt("ROOT_DIRECTORY", path)) {
    return String("./");
  }
  path += "/log/";
  // Folded until none is left, so a root given with several trailing
  // slashes still gives a clean path.
  for (size_t at = path.find("//"); at != std::string::npos; at = path.find("//", at)) {
    path.erase(at, 1);
  }
  return String(path.c_str());
}

bool LogSettings::shouldCreateFiles() {
  try {
    return Store()->BoolAt("LOGMANAGER.CREATEFILES");
  } catch (const std::string&) {
    return false;
  }
}

String LogSettings::getFilesPrefix() {
  std::string prefix;
  Store()->StringAtIfMissing("LOGMANAGER.FILEPREFIX", prefix, "debug");
  return String(prefix.c_str());
}

// A value that cannot be read keeps every file: deleting on a guess could
// remove logs nobody meant to lose.
int LogSettings::getMaxRetentionsDays() {
  return static_cast<int>(
      ConfigNumber::Read(*Store(), "LOGMANAGER.MAXFILERETENTIONDAYS", 9999, 0, kMaxRetentionDays));
}

bool LogSettings::shouldDoUDPForward() {
  return !ReadWithFallback("LOGMANAGER.UDP.SERVER", "CMGR.LOG.SERVER").empty() &&
         !ReadWithFallback("LOGMANAGER.UDP.PORT", "CMGR.LOG.PORT").empty();
}

String LogSettings::getUDPServer() {
  return String(ReadWithFallback("LOGMANAGER.UDP.SERVER", "CMGR.LOG.SERVER").c_str());
}

int LogSettings::getUDPPort() {
  const std::string port = ReadWithFallback("LOGMANAGER.UDP.PORT", "CMGR.LOG.PORT");
  return port.empty()
             ? 0
             : static_cast<int>(ConfigNumber::Check("LOGMANAGER.UDP.PORT", port, 0, 1, 65535));
}

int LogSettings::getUDPFacilityNumber() {
  const std::string facility =
      ReadWithFallback("LOGMANAGER.UDP.FACILITY", "CMGR.LOG.SYSLOGFACILITY");
  return facility.empty() ? 8
                          : static_cast<int>(ConfigNumber::Check("LOGMANAGER.UDP.FACILITY",
                                                                 facility, 8, 0, kMaxFacilityCode));
}

String LogSettings::getFilter() {
  static const char kLevelLetters[] = "FWI12345678";
  std::string filter;
  Store()->StringAtIfMissing("LOGMANAGER.LOGFILTER", filter, "");
  if (filter.empty()) {
    std::string level;
    Store()->StringAtIfMissing("LOGMANAGER.DEBUGLEVEL", level, "");
    long number = 0;
    // A level that is no number was reported where the level is read.
    if (ConfigNumber::Parse(level, 0, kMaxDebugLevel, &number)) {
      const long letters = number + 1;
      const long all = static_cast<long>(sizeof kLevelLetters) - 1;
      filter.assign(kLevelLetters, static_cast<size_t>(letters <= 0    ? 0
                                                       : letters < all ? letters
                                                                       : all));
    }
  }
  if (filter.empty()) {
    Store()->AtGlobalIfMissing("CMGR.LOG.FILTER", filter, "");
  }
  return String(filter.c_str());
}
