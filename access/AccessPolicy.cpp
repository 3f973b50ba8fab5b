#include "AccessPolicy.h"

#include <netinet/in.h>
#include <string.h>

#include "LogServer.h"
#include "PeerOwner.h"
#include "RunAs.h"
#include "TlConfiguration.h"

std::atomic<AccessPolicy*> AccessPolicy::current{nullptr};

namespace {

constexpr uint32_t kLoopbackMask = 0xFF000000u;
constexpr uint32_t kLoopbackNetwork = 0x7F000000u;

std::string Trimmed(const std::string& text) {
  const size_t begin = text.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos) {
    return "";
  }
  return text.substr(begin, text.find_last_not_of(" \t\r\n") - begin + 1);
}

bool IsAnyWord(const std::string& text) {
  return text.size() == 3 && (text[0] | 0x20) == 'a' && (text[1] | 0x20) == 'n' &&
         (text[2] | 0x20) == 'y';
}

// With a command filter set, a command is one program and its words: a
// byte that makes the shell run a second command, substitute one, redirect
// or continue on another line would let text the pattern never saw run.
// Control bytes other than TAB have no place in such a command either.
bool HasShellSyntax(const std::string& command) {
  for (const char c : command) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && byte != '\t') || byte == 0x7f ||
        strchr(";&|`$<>()\\", c) != nullptr) {
      return true;
    }
  }
  return false;
}

void Refused(const std::string& text) {
  LogServer::Report(Warning, "DL30102", text, "GENERIC", true);
}

}  // namespace

AccessPolicy::AccessPolicy(uid_t ownUid, AddressList::InterfaceReader interfaces)
    : daemonUid(ownUid),
      peers(std::move(interfaces)),
      anyUser(false),
      remoteUid(static_cast<uid_t>(-1)),
      bindAddress(INADDR_ANY),
      warnings(kWarningPeriodSeconds, kWarningMemory) {}

AccessPolicy* AccessPolicy::Current() { return current.load(); }

void AccessPolicy::Publish(AccessPolicy* policy) { current.store(policy); }

bool AccessPolicy::Configure(const TlConfiguration& configuration, std::string& error) {
  std::string text;
  peersText = configuration._At("WATCHMGR.ALLOWEDPEERS", text) ? text : "local";
  std::string reason;
  if (!peers.Parse(peersText, reason)) {
    error = "WATCHMGR.ALLOWEDPEERS: " + reason;
    return false;
  }

  text.clear();
  if (!configuration._At("WATCHMGR.ALLOWEDUSERS", text)) {
    users = {0, daemonUid};
    anyUser = false;
  } else if (!_ConfigureUsers(text, reason)) {
    error = "WATCHMGR.ALLOWEDUSERS: " + reason;
    return false;
  }

  text.clear();
  const std::string remoteName =
      configuration._At("WATCHMGR.REMOTEUSER", text) ? Trimmed(text) : "nobody";
  if (remoteName.empty() || !RunAs::ResolveUser(remoteName, remoteUid, reason)) {
    error = "WATCHMGR.REMOTEUSER: " + (remoteName.empty() ? "empty user name" : reason);
    return false;
  }

  text.clear();
  commands.reset();
  commandsText.clear();
  if (configuration._At("WATCHMGR.ALLOWEDCOMMANDS", text) && !Trimmed(text).empty()) {
    commandsText = text;
    // The pattern is checked alone first: wrapped, an unbalanced one could
    // otherwise pair with the wrapping and move the anchors.
    const bool alone = Regex(commandsText.c_str(), Regex::kExtended).OK() == 1;
    commands.reset(new Regex(("^(" + commandsText + ")$").c_str(), Regex::kExtended));
    if (!alone || commands->OK() != 1) {
      commands.reset();
      error = "WATCHMGR.ALLOWEDCOMMANDS: pattern '" + text + "' does not compile";
      return false;
    }
  }

  text.clear();
  bindAddress = INADDR_ANY;
  if (configuration._At("WATCHMGR.BINDADDRESS", text) && !Trimmed(text).empty()) {
    if (!AddressList::ParseDotted(Trimmed(text), bindAddress)) {
      error = "WATCHMGR.BINDADDRESS: malformed address '" + text + "' (a dotted IPv4 address)";
      return false;
    }
  }
  return true;
}

bool AccessPolicy::_ConfigureUsers(const std::string& text, std::string& error) {
  std::set<uid_t> parsed;
  bool any = false;
  size_t start = 0;
  for (;;) {
    const size_t comma = text.find(',', start);
    const std::string entry =
        Trimmed(text.substr(start, comma == std::string::npos ? comma : comma - start));
    if (entry.empty()) {
      error = "empty entry in '" + text + "'";
      return false;
    }
    uid_t uid = 0;
    if (IsAnyWord(entry)) {
      any = true;
    } else if (RunAs::ResolveUser(entry, uid, error)) {
      parsed.insert(uid);
    } else {
      return false;
    }
    if (comma == std::string::npos) {
      break;
    }
    start = comma + 1;
  }
  users = parsed;
  anyUser = any;
  return true;
}

bool AccessPolicy::AdmitPeer(uint32_t address) {
  if (peers.Contains(address)) {
    return true;
  }
  const std::string dotted = AddressList::Dotted(address);
  bool overflowed = false;
  if (warnings.Allow("peer " + dotted, &overflowed)) {
    Refused("[ListenPort::StartBlock] WARNING : Connection from " + dotted +
            " refused: peer not in WATCHMGR.ALLOWEDPEERS (" + peersText + ")" +
            (overflowed ? "; more refused peers are not named this minute" : ""));
  }
  return false;
}

bool AccessPolicy::UserAllowed(long uid) const {
  if (anyUser) {
    return true;
  }
  if (uid == kUnknownUid) {
    return false;
  }
  if (users.count(static_cast<uid_t>(uid)) != 0) {
    return true;
  }
  std::lock_guard<std::mutex> hold(programUsersMutex);
  return programUsers.count(static_cast<uid_t>(uid)) != 0;
}

void AccessPolicy::SetProgramUsers(const std::set<uid_t>& uids) {
  std::lock_guard<std::mutex> hold(programUsersMutex);
  programUsers = uids;
}

bool AccessPolicy::AdmitUser(int socket, const std::string& peer, long& uid) {
  uid_t owner = 0;
  return AdmitOwner(PeerOwner::OfAccepted(socket, owner) ? static_cast<long>(owner) : kUnknownUid,
                    peer, uid);
}

bool AccessPolicy::AdmitOwner(long owner, const std::string& peer, long& uid) {
  // An unknown owner never counts as a user in the list, nor as root: it
  // acts as the remote user, and only when every user is admitted.
  if (owner == kUnknownUid ? anyUser : UserAllowed(owner)) {
    uid = owner == kUnknownUid ? static_cast<long>(remoteUid) : owner;
    return true;
  }
  uid = owner;
  const std::string who = uid == kUnknownUid ? "unknown uid" : "uid " + std::to_string(uid);
  const std::string address = peer.substr(0, peer.find(':'));
  bool overflowed = false;
  if (warnings.Allow("user " + who + " " + address, &overflowed)) {
    Refused("[WatchMgrProcessConnection] WARNING : Orders from " + who + " (peer " + peer +
            ") refused: user not in WATCHMGR.ALLOWEDUSERS, connection closed" +
            (overflowed ? "; more refused users are not named this minute" : ""));
  }
  return false;
}

bool AccessPolicy::AdmitCommands(int pid, const String& start, const String& stop) const {
  if (!commands) {
    return true;
  }
  for (const String* command : {&start, &stop}) {
    const int length = command->length();
    if (length == 0) {
      continue;
    }
    const std::string text(command->chars(), static_cast<size_t>(length));
    const bool shellSyntax = HasShellSyntax(text);
    if (!shellSyntax && commands->match(command->chars(), length, 0) == length) {
      continue;
    }
    // A client can repeat a refused order at will: one line per command
    // text and period, with the limiter's own bound on distinct texts.
    bool overflowed = false;
    if (!warnings.Allow("command " + text, &overflowed)) {
      return false;
    }
    const std::string more =
        overflowed ? "; more refused commands are not named this minute" : "";
    const std::string head = "[WatchASCIIOrder::ExecuteOrder] " +
                             std::string(shellSyntax ? "WARNING" : "ERROR") +
                             " : Watch order for pid " + std::to_string(pid) +
                             " refused: command '" + text + "' ";
    if (shellSyntax) {
      Refused(head + "holds shell syntax, which WATCHMGR.ALLOWEDCOMMANDS does not admit" +
              more);
    } else {
      LogServer::Report(Error, "DL30000", head + "does not match WATCHMGR.ALLOWEDCOMMANDS" + more,
                        "GENERIC", true);
    }
    return false;
  }
  return true;
}

bool AccessPolicy::OpenBeyondHost() const {
  if ((bindAddress & kLoopbackMask) == kLoopbackNetwork) {
    return false;
  }
  return peers.ReachesBeyondHost();
}
