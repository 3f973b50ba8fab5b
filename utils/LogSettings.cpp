#include "LogSettings.h"

#include <stdlib.h>

#include <string>

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

// A missing key makes the plain getters throw the key.
int IntOr(const char* key, int fallback) {
  try {
    return Store()->IntAt(key);
  } catch (const std::string&) {
    return fallback;
  }
}

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

int LogSettings::getStartDebugLevel() { return IntOr("LOGMANAGER.DEBUGLEVEL", 2); }

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

int LogSettings::getMaxRetentionsDays() { return IntOr("LOGMANAGER.MAXFILERETENTIONDAYS", 9999); }

bool LogSettings::shouldDoUDPForward() {
  return !ReadWithFallback("LOGMANAGER.UDP.SERVER", "CMGR.LOG.SERVER").empty() &&
         !ReadWithFallback("LOGMANAGER.UDP.PORT", "CMGR.LOG.PORT").empty();
}

String LogSettings::getUDPServer() {
  return String(ReadWithFallback("LOGMANAGER.UDP.SERVER", "CMGR.LOG.SERVER").c_str());
}

int LogSettings::getUDPPort() {
  const std::string port = ReadWithFallback("LOGMANAGER.UDP.PORT", "CMGR.LOG.PORT");
  return port.empty() ? 0 : atoi(port.c_str());
}

int LogSettings::getUDPFacilityNumber() {
  const std::string facility =
      ReadWithFallback("LOGMANAGER.UDP.FACILITY", "CMGR.LOG.SYSLOGFACILITY");
  return facility.empty() ? 8 : atoi(facility.c_str());
}

String LogSettings::getFilter() {
  static const char kLevelLetters[] = "FWI12345678";
  std::string filter;
  Store()->StringAtIfMissing("LOGMANAGER.LOGFILTER", filter, "");
  if (filter.empty()) {
    std::string level;
    Store()->StringAtIfMissing("LOGMANAGER.DEBUGLEVEL", level, "");
    if (!level.empty()) {
      const long letters = static_cast<long>(atoi(level.c_str())) + 1;
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
