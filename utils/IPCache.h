// IPCache: turns host names into SNMPHost records. Dotted IPv4 addresses are
// taken as they are; other names go to the resolver, and a name made of a
// host name, "-" and digits (a per-instance alias of one host) is retried
// without that suffix. GetHostByName also keeps its answers per name: a name
// is resolved by one thread at a time while the others wait for its answer,
// a failed name is answered 0 without a new attempt for 30 minutes, and with
// set_MaxRetain every answer is forgotten after that many seconds.
//
// Owned by whoever creates it (the UDP sender makes a short-lived one). Safe
// for concurrent use: every map is read and written under the cache's mutex,
// and the slow resolution runs outside it, announced by the Resolving state.
// There is no process-wide instance.
#ifndef VIGILD_UTILS_IPCACHE_H
#define VIGILD_UTILS_IPCACHE_H

#include <functional>
#include <map>
#include <string>

#include "SNMPHost.h"
#include "String.h"
#include "TaskMutex.h"
#include "Timestamp.h"

class IPCache {
 public:
  // Per-name states.
  enum { kFailed = 64, kResolved = 65, kResolving = 66 };
  // A failed name is not tried again before this many seconds have passed.
  static constexpr long kFailureQuarantineSeconds = 1800;
  // How often a thread waiting for another's resolution looks again.
  static constexpr unsigned kResolvingPollMs = 10;

  // One resolved name, as kept between calls.
  struct IPInfo {
    String hostName;
    String hostFullName;
    String hostIP;
  };

  // The name service, with the contract of Platform::getHostByname: fills
  // address (Platform::kAddressSize bytes) and officialName
  // (Platform::kOfficialNameSize bytes) and returns true when the name is
  // known.
  using Resolver = std::function<bool(const char* name, char* address, char* officialName)>;
  // The current time.
  using Clock = std::function<Timestamp()>;

  // The system's resolver and clock. The argument is not read.
  explicit IPCache(int creatorArgument);
  // For tests: a resolver and a clock of the caller's choosing.
  IPCache(int creatorArgument, Resolver resolver, Clock clock);
  IPCache(const IPCache&) = delete;
  IPCache& operator=(const IPCache&) = delete;

  // Resolves name without the cache; 1 with host's names and address set,
  // 0 when name is unknown. Host and short name become host's callName.
  int InternalGetHostByName(SNMPHost* host, const char* name, bool unused);
  // The same through the cache; 1 or 0. A BError from inside is passed on;
  // any other exception becomes a BError naming the step that failed.
  int GetHostByName(SNMPHost* host, const char* name, bool flag);
  // The node name from uname, resolved through the cache; 0 when uname fails.
  int GetLocalHostName(SNMPHost* host);
  // The node name from uname with the loopback address, without any look-up.
  int GetLocalHostNameNoDNS(SNMPHost* host);

  // Forgets every name; returns 1.
  int Reset();
  // Answers older than seconds are forgotten (0, the default: kept); 1.
  int set_MaxRetain(int seconds);
  // The version a cached answer for name carries from now on.
  void vSetSnmpVersion(const char* name, const TlmSnmpVersion version);
  // Kept for callers that ask for it; answers are forgotten only by age.
  int ResetHostByName(const char* name);

 private:
  // What the look-up step decided.
  enum Step { kAnswerNo, kAnswerYes, kResolve, kWaitForOther };

  // Steps 1 and 2 of the resolution for one candidate name.
  bool _ResolveOne(SNMPHost* host, const char* name) const;
  Step _LookUp(SNMPHost* host, const std::string& name);
  int _ResolveAndRecord(SNMPHost* host, const std::string& name, bool flag);
  // Lets waiting threads take over a name whose resolution was abandoned.
  void _Abandon(const std::string& name);
  // REQUIRES: mutex held
  void _ForgetAll();

  const Resolver resolver;  // constant after construction
  const Clock clock;        // constant after construction

  TaskMutex mutex;  // guards every field below
  int maxRetain;
  Timestamp lastReset;
  std::map<std::string, IPInfo> resolved;
  std::map<std::string, Timestamp> failedAt;
  std::map<std::string, int> state;
  std::map<std::string, TlmSnmpVersion> versions;
};

#endif  // VIGILD_UTILS_IPCACHE_H
