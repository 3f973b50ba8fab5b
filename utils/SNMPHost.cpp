#include "SNMPHost.h"

#include <string.h>

const char* const SNMPHost::kDefaultRCommunity = "public";
const char* const SNMPHost::kDefaultWCommunity = "private";

namespace {

bool StartsWith(const char* text, const char* prefix) {
  return strncmp(text, prefix, strlen(prefix)) == 0;
}

}  // namespace

SNMPHost::SNMPHost() { resetToDefault(nullptr); }

SNMPHost::SNMPHost(const char* name) { resetToDefault(name); }

void SNMPHost::resetToDefault(const char* name) {
  hostNameSet = hostIPSet = rCommunitySet = wCommunitySet = false;
  portSet = timeoutSet = triesSet = versionSet = false;
  callName = name;
  hostName = hostFullName = hostIP = rCommunity = wCommunity = "";
  port = 0;
  timeout = 0.0;
  tries = 0;
  snmpVersion = TlmSnmpVersionNotSpecified;
}

bool SNMPHost::setCallName(const char* name) {
  callName = name;
  return true;
}

bool SNMPHost::setHostName(const char* name, bool explicitly) {
  hostName = name;
  hostNameSet = hostNameSet || explicitly;
  return true;
}

bool SNMPHost::setHostFullName(const char* name) {
  hostFullName = name;
  return true;
}

bool SNMPHost::setHostIP(const char* address, bool explicitly) {
  hostIP = address;
  hostIPSet = hostIPSet || explicitly;
  return true;
}

bool SNMPHost::setRCommunity(const char* community, bool explicitly) {
  rCommunity = community;
  rCommunitySet = rCommunitySet || explicitly;
  return true;
}

bool SNMPHost::setWCommunity(const char* community, bool explicitly) {
  wCommunity = community;
  wCommunitySet = wCommunitySet || explicitly;
  return true;
}

bool SNMPHost::setPort(int value, bool explicitly) {
  port = value;
  portSet = portSet || explicitly;
  return true;
}

bool SNMPHost::setTimeout(double seconds, bool explicitly) {
  timeout = seconds;
  timeoutSet = timeoutSet || explicitly;
  return true;
}

bool SNMPHost::setTries(int value, bool explicitly) {
  tries = value;
  triesSet = triesSet || explicitly;
  return true;
}

bool SNMPHost::setSnmpVersion(TlmSnmpVersion version, bool explicitly) {
  snmpVersion = version;
  versionSet = versionSet || explicitly;
  return true;
}

bool SNMPHost::setSnmpVersion(const char* text, bool explicitly) {
  if (text == nullptr) {
    return false;
  }
  TlmSnmpVersion version;
  if (StartsWith(text, "&V1") || strcmp(text, "V1") == 0) {
    version = TlmSnmpVersion1;
  } else if (StartsWith(text, "&V2c") || StartsWith(text, "&V2C") || strcmp(text, "V2c") == 0 ||
             strcmp(text, "V2C") == 0) {
    version = TlmSnmpVersion2c;
  } else if (StartsWith(text, "&V3") || strcmp(text, "V3") == 0) {
    version = TlmSnmpVersion3;
  } else {
    return false;
  }
  return setSnmpVersion(version, explicitly);
}

const char* SNMPHost::getRCommunity() const {
  return rCommunitySet ? rCommunity.chars() : kDefaultRCommunity;
}

const char* SNMPHost::getWCommunity() const {
  return wCommunitySet ? wCommunity.chars() : kDefaultWCommunity;
}
