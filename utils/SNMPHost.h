// SNMPHost: what the product knows about one host it talks to: the name the
// caller used, the resolved names and IPv4 address, and the SNMP parameters
// (communities, port, time-out, tries, protocol version). Each parameter has
// a default that its getter returns until a value is set explicitly.
//
// A value type owned by whoever declares it. One thread at a time; the owner
// locks.
#ifndef VIGILD_UTILS_SNMPHOST_H
#define VIGILD_UTILS_SNMPHOST_H

#include "String.h"

enum TlmSnmpVersion {
  TlmSnmpVersionNotSpecified = 100,
  TlmSnmpVersion1 = 101,
  TlmSnmpVersion2c = 102,
  TlmSnmpVersion3 = 103
};

class SNMPHost {
 public:
  // Defaults that apply while the matching value was not set explicitly.
  static constexpr int kDefaultPort = 161;
  static constexpr double kDefaultTimeout = 0.8;
  static constexpr int kDefaultTries = 3;
  static const char* const kDefaultRCommunity;
  static const char* const kDefaultWCommunity;

  SNMPHost();
  explicit SNMPHost(const char* callName);
  SNMPHost(const SNMPHost&) = default;
  SNMPHost& operator=(const SNMPHost&) = default;

  // Forgets everything: no value is explicit any more, callName is the
  // argument (empty when null) and every other text is empty.
  void resetToDefault(const char* callName);

  // Each stores the value and, when explicitly is true, marks it as set.
  // All return true; a null text is stored as empty.
  bool setCallName(const char* name);
  bool setHostName(const char* name, bool explicitly);
  bool setHostFullName(const char* name);
  bool setHostIP(const char* address, bool explicitly);
  bool setRCommunity(const char* community, bool explicitly);
  bool setWCommunity(const char* community, bool explicitly);
  bool setPort(int value, bool explicitly);
  bool setTimeout(double seconds, bool explicitly);
  bool setTries(int value, bool explicitly);
  bool setSnmpVersion(TlmSnmpVersion version, bool explicitly);
  // "&V1", "&V2c", "&V2C", "&V3" as prefixes, or exactly "V1", "V2c", "V2C",
  // "V3". Any other text (null included) returns false and changes nothing.
  bool setSnmpVersion(const char* text, bool explicitly);

  const String& getCallName() const { return callName; }
  const String& getHostName() const { return hostName; }
  const String& getHostFullName() const { return hostFullName; }
  const String& getHostIP() const { return hostIP; }
  const char* getRCommunity() const;
  const char* getWCommunity() const;
  int getPort() const { return portSet ? port : kDefaultPort; }
  double getTimeout() const { return timeoutSet ? timeout : kDefaultTimeout; }
  int getTries() const { return triesSet ? tries : kDefaultTries; }
  TlmSnmpVersion getSnmpVersion() const {
    return versionSet ? snmpVersion : TlmSnmpVersionNotSpecified;
  }

  bool isHostNameSet() const { return hostNameSet; }
  bool isHostIPSet() const { return hostIPSet; }

 private:
  bool hostNameSet;
  bool hostIPSet;
  bool rCommunitySet;
  bool wCommunitySet;
  bool portSet;
  bool timeoutSet;
  bool triesSet;
  bool versionSet;
  String callName;
  String hostName;
  String hostFullName;
  String hostIP;
  String rCommunity;
  String wCommunity;
  int port;
  double timeout;
  int tries;
  TlmSnmpVersion snmpVersion;
};

#endif  // VIGILD_UTILS_SNMPHOST_H
