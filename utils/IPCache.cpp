#include "IPCache.h"

#include <sys/utsname.h>

#include "BError.h"
#include "CriticalSection.h"
#include "Platform.h"
#include "Regex.h"
#include "Sleep.h"

namespace {

const char* const kFrom = "IPCache::GetHostByName";

// A host name followed by "-" and digits, and that suffix alone.
const Regex kSuffixedName(Regex::kDeferred, "^[0-9a-zA-Z\\.]+[-][0-9]+$");
const Regex kDigitSuffix(Regex::kDeferred, "[-][0-9]+$");

// Runs fn. A BError passes on with this routine's line added; any other
// exception becomes a BError naming the step. onFailure runs first.
template <class Fn, class OnFailure>
auto Translated(const char* step, Fn fn, OnFailure onFailure) -> decltype(fn()) {
  try {
    return fn();
  } catch (BError& error) {
    onFailure();
    error.AddErrorLine(1, kFrom);
    throw;
  } catch (...) {
    onFailure();
    throw BError(kFrom, step);
  }
}

Timestamp SystemNow() {
  Timestamp now;
  now.SetNow();
  return now;
}

}  // namespace

IPCache::IPCache(int argument) : IPCache(argument, Platform::getHostByname, SystemNow) {}

IPCache::IPCache(int, Resolver resolverFunction, Clock clockFunction)
    : resolver(std::move(resolverFunction)),
      clock(std::move(clockFunction)),
      maxRetain(0),
      lastReset(clock()) {}

bool IPCache::_ResolveOne(SNMPHost* host, const char* name) const {
  const String callName = host->getCallName();
  if (Platform::isValidIp(name)) {
    host->setHostFullName(callName);
    host->setHostName(callName, true);
    host->setHostIP(name, true);
    return true;
  }
  char address[Platform::kAddressSize] = "";
  char officialName[Platform::kOfficialNameSize] = "";
  if (!resolver(name, address, officialName)) {
    return false;
  }
  host->setHostFullName(officialName);
  host->setHostName(callName, true);
  host->setHostIP(address, true);
  return true;
}

int IPCache::InternalGetHostByName(SNMPHost* host, const char* name, bool /*unused*/) {
  if (host == nullptr || name == nullptr) {
    return 0;
  }
  if (_ResolveOne(host, name)) {
    return 1;
  }
  String text(name);
  if (!text.contains(kSuffixedName)) {
    return 0;
  }
  const String bare(text.before(kDigitSuffix));
  return _ResolveOne(host, bare) ? 1 : 0;
}

int IPCache::GetHostByName(SNMPHost* host, const char* name, bool flag) {
  if (host == nullptr || name == nullptr) {
    return 0;
  }
  const std::string key(name);
  for (;;) {
    const Step step = Translated(
        "State IP_RESOLVE_STATE_INIT", [&] { return _LookUp(host, key); }, [] {});
    switch (step) {
      case kAnswerNo:
        return 0;
      case kAnswerYes:
        return 1;
      case kWaitForOther:
        Sleep(kResolvingPollMs);
        break;
      case kResolve:
        return _ResolveAndRecord(host, key, flag);
    }
  }
}

IPCache::Step IPCache::_LookUp(SNMPHost* host, const std::string& name) {
  CriticalSection lock(&mutex);
  auto found = state.find(name);
  if (found == state.end()) {
    state[name] = kResolving;
    return kResolve;
  }
  switch (found->second) {
    case kResolving:
      return kWaitForOther;
    case kFailed: {
      auto failure = failedAt.find(name);
      if (failure != failedAt.end()) {
        if (clock() - failure->second < kFailureQuarantineSeconds) {
          return kAnswerNo;
        }
        failedAt.erase(failure);
      }
      found->second = kResolving;
      return kResolve;
    }
    default:
      break;
  }
  if (maxRetain > 0) {
    const Timestamp now = clock();
    if (now - lastReset > maxRetain) {
      _ForgetAll();
      lastReset = now;
    }
  }
  auto answer = resolved.find(name);
  if (answer == resolved.end()) {
    state[name] = kResolving;
    return kResolve;
  }
  host->setCallName(name.c_str());
  host->setHostName(answer->second.hostName, true);
  host->setHostFullName(answer->second.hostFullName);
  host->setHostIP(answer->second.hostIP, true);
  auto version = versions.find(name);
  if (version != versions.end()) {
    host->setSnmpVersion(version->second, true);
  }
  return kAnswerYes;
}

int IPCache::_ResolveAndRecord(SNMPHost* host, const std::string& name, bool flag) {
  // A name left in the resolving state would keep its waiters waiting for
  // ever: whatever fails here hands it back first.
  auto abandon = [&] { _Abandon(name); };
  const int found = Translated(
      "State IP_RESOLVE_STATE_RESOLVE in InternalGetHostByName",
      [&] { return InternalGetHostByName(host, name.c_str(), flag); }, abandon);
  return Translated(
      "State IP_RESOLVE_STATE_RESOLVE",
      [&] {
        CriticalSection lock(&mutex);
        if (found == 0) {
          failedAt[name] = clock();
          state[name] = kFailed;
          return 0;
        }
        resolved[name] = IPInfo{host->getHostName(), host->getHostFullName(), host->getHostIP()};
        state[name] = kResolved;
        return 1;
      },
      abandon);
}

void IPCache::_Abandon(const std::string& name) {
  CriticalSection lock(&mutex);
  auto found = state.find(name);
  if (found != state.end() && found->second == kResolving) {
    state.erase(found);
  }
}

int IPCache::GetLocalHostName(SNMPHost* host) {
  struct utsname node;
  if (host == nullptr || uname(&node) != 0) {
    return 0;
  }
  host->setCallName(node.nodename);
  return GetHostByName(host, node.nodename, true);
}

int IPCache::GetLocalHostNameNoDNS(SNMPHost* host) {
  struct utsname node;
  if (host == nullptr || uname(&node) != 0) {
    return 0;
  }
  host->setCallName(node.nodename);
  host->setHostName(node.nodename, true);
  host->setHostFullName(node.nodename);
  host->setHostIP("127.0.0.1", true);
  return 1;
}

void IPCache::_ForgetAll() {
  resolved.clear();
  failedAt.clear();
  state.clear();
  versions.clear();
}

int IPCache::Reset() {
  const Timestamp now = clock();
  CriticalSection lock(&mutex);
  _ForgetAll();
  lastReset = now;
  return 1;
}

int IPCache::set_MaxRetain(int seconds) {
  CriticalSection lock(&mutex);
  maxRetain = seconds;
  return 1;
}

void IPCache::vSetSnmpVersion(const char* name, const TlmSnmpVersion version) {
  if (name == nullptr) {
    return;
  }
  CriticalSection lock(&mutex);
  versions[name] = version;
}

int IPCache::ResetHostByName(const char* /*name*/) { return 1; }
