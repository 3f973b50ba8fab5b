// RunAs: the identity a command runs with when it must not have the daemon's
// rights: a user id, its primary group and its supplementary groups, all
// read from the user database before any fork (a forked child of a threaded
// process may not call the database routines). Also turns the user names and
// numbers an operator writes into user ids.
//
// A value owned by whoever resolved it; the launcher only reads it. One
// thread at a time; the owner locks. The static functions are safe for
// concurrent use (reentrant database calls).
#ifndef VIGILD_SYSTEM_RUNAS_H
#define VIGILD_SYSTEM_RUNAS_H

#include <sys/types.h>

#include <string>
#include <vector>

class RunAs {
 public:
  // The account of uid: its name, home, shell, primary group and every
  // group it belongs to. False, with error saying why, when the user database has no entry
  // for uid or cannot be read.
  static bool ForUid(uid_t uid, RunAs& out, std::string& error);
  // A user name (looked up) or a decimal user id (taken as it is; it need
  // not have an account) to a user id. False, with error naming text, for an
  // unknown name, a malformed number, or the reserved id -1.
  static bool ResolveUser(const std::string& text, uid_t& uid, std::string& error);
  // The real user id of process pid, from /proc/<pid>/status; false when the
  // process is gone or the file cannot be read.
  static bool ProcessRealUid(int pid, uid_t& uid);

  std::string name;
  std::string home;   // the account's home directory, "/" when it names none
  std::string shell;  // its login shell, "/bin/sh" when it names none
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> groups;  // supplementary groups, the primary one included
};

#endif  // VIGILD_SYSTEM_RUNAS_H
