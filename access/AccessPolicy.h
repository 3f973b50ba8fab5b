// AccessPolicy: who may use the order port and what they may ask for. It
// holds the daemon's four access keys: the peers the listener admits
// (WATCHMGR.ALLOWEDPEERS), the users whose orders are obeyed
// (WATCHMGR.ALLOWEDUSERS) and the user that orders without a known local
// owner act as (WATCHMGR.REMOTEUSER), the pattern every start and stop command must
// match (WATCHMGR.ALLOWEDCOMMANDS) and the address the listener binds
// (WATCHMGR.BINDADDRESS). Every refusal is logged, rate-limited per peer.
//
// main builds one from the configuration before the listener starts,
// publishes it with Publish and keeps it for the rest of the process. Thread
// safety: constant after Configure, except AdmitPeer, which only the accept
// loop calls (it may refresh the host's interface addresses), and the
// program users, which the program keeper replaces; AdmitUser, AdmitOwner,
// AdmitCommands and SetProgramUsers are safe for concurrent use.
#ifndef VIGILD_ACCESS_ACCESSPOLICY_H
#define VIGILD_ACCESS_ACCESSPOLICY_H

#include <stdint.h>
#include <sys/types.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "AddressList.h"
#include "RateLimiter.h"
#include "Regex.h"
#include "String.h"

class TlConfiguration;

class AccessPolicy {
 public:
  // A refusal about one peer address (or one user at one address) is logged
  // at most once per period; the limiter remembers at most this many.
  static constexpr long kWarningPeriodSeconds = 60;
  static constexpr size_t kWarningMemory = 1024;
  // What an unknown owner is reported as.
  static constexpr long kUnknownUid = -1;

  // daemonUid is the user the daemon runs as, allowed by default with root.
  explicit AccessPolicy(uid_t daemonUid,
                        AddressList::InterfaceReader interfaces = AddressList::ReadInterfaces);
  AccessPolicy(const AccessPolicy&) = delete;
  AccessPolicy& operator=(const AccessPolicy&) = delete;

  // Reads the access keys (each optional). False, with error naming the key
  // and the offending entry, when one is malformed: the daemon must then not
  // start rather than run more open than configured.
  bool Configure(const TlConfiguration& configuration, std::string& error);

  // The accept loop's check of a new connection's peer (host byte order),
  // before anything is read from it. A refusal is logged (rate-limited).
  bool AdmitPeer(uint32_t address);
  // The accept loop's check of the user owning the client end of a TCP
  // socket, before anything is read; peer is the "address:port" text for the
  // log. uid gets the user the connection's orders act as (see AdmitOwner).
  // A refusal is logged (rate-limited).
  bool AdmitUser(int socket, const std::string& peer, long& uid);
  // The same decision for an owner found by other means (the credentials of
  // a local socket), kUnknownUid when there is none. A known owner acts as
  // itself. Without one (a remote peer, a client gone before it was
  // identified) the connection is admitted only with ALLOWEDUSERS=any, and
  // acts as the REMOTEUSER.
  bool AdmitOwner(long owner, const std::string& peer, long& uid);
  // The user orders without a known owner act as.
  uid_t RemoteUid() const { return remoteUid; }

  // The same decision for an owner already known (kUnknownUid: unknown).
  bool UserAllowed(long uid) const;
  // The users the program files name: admitted as if ALLOWEDUSERS listed
  // them, since their programs' wrappers must register and they may give
  // orders for their own programs. Replaces the previous set; safe for
  // concurrent use.
  void SetProgramUsers(const std::set<uid_t>& uids);
  // Whether a watch order's commands pass the command filter: with a
  // pattern set, each must match it whole (POSIX extended syntax) and hold
  // no shell syntax. A refusal is logged as one line naming the pid and the
  // refused command (an Error for a mismatch, a Warning for shell syntax),
  // rate-limited per command text. An empty command runs nothing and is not
  // checked.
  bool AdmitCommands(int pid, const String& start, const String& stop) const;

  // Host byte order; INADDR_ANY unless WATCHMGR.BINDADDRESS says otherwise.
  uint32_t BindAddress() const { return bindAddress; }
  // True when peers other than this host's own processes can connect: the
  // peer list reaches beyond this host and the bound address is not a
  // loopback one.
  bool OpenBeyondHost() const;
  const std::string& PeersText() const { return peersText; }
  bool AnyUser() const { return anyUser; }

  // The daemon's policy, null before main publishes one (no checks then).
  static AccessPolicy* Current();
  static void Publish(AccessPolicy* policy);

 private:
  bool _ConfigureUsers(const std::string& text, std::string& error);

  const uid_t daemonUid;
  AddressList peers;  // the accept loop's own once it runs
  std::string peersText;
  std::set<uid_t> users;  // constant after Configure
  // Guards programUsers, which the program keeper replaces at every read.
  mutable std::mutex programUsersMutex;
  std::set<uid_t> programUsers;
  bool anyUser;
  uid_t remoteUid;  // constant after Configure
  std::unique_ptr<Regex> commands;  // null: no filter; constant after Configure
  std::string commandsText;
  uint32_t bindAddress;
  // Safe for concurrent use itself; mutable because refusing a command is
  // a const decision that still notes what it logged.
  mutable RateLimiter warnings;

  static std::atomic<AccessPolicy*> current;
};

#endif  // VIGILD_ACCESS_ACCESSPOLICY_H
