#include "LogDevice.h"

#include "TlConfigurationGlobal.h"

void LogDevice::ApplyLengthRule(std::string& text) {
  // The configuration is read only for long texts: most records never pay
  // for the lookup.
  if (text.size() <= kMaxLineLength ||
      TlConfigurationGlobal::Instance()->BoolAtIfMissing("DIAG.LOG.ALLOWLONGLINES", false)) {
    return;
  }
  const std::string length = std::to_string(text.size());
  text.resize(kCutLength);
  text += " ... (Truncated from ";
  text += length;
  text += ")";
}
