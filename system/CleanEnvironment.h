// CleanEnvironment: the context every command starts in, whether the daemon
// launches it or vigilctl starts a program under supervision: a fixed
// search path and the names of the account it runs as, nothing inherited
// from whoever launches it, whose own environment may hold what its service
// manager, its operator or its caller's shell gave it alone.
//
// No objects; safe for concurrent use (the user database is read with the
// reentrant calls).
#ifndef VIGILD_SYSTEM_CLEANENVIRONMENT_H
#define VIGILD_SYSTEM_CLEANENVIRONMENT_H

#include <sys/types.h>

#include <string>
#include <vector>

#include "RunAs.h"

class CleanEnvironment {
 public:
  static constexpr const char* kPath = "PATH=/usr/local/bin:/usr/bin:/bin";

  // The account of uid. One without an entry in the user database still
  // gets a home ("/") and a shell ("/bin/sh"), but no user name.
  static RunAs AccountOf(uid_t uid);
  // The "NAME=VALUE" entries for account: kPath, HOME, SHELL, and USER and
  // LOGNAME when the account has a name.
  static std::vector<std::string> For(const RunAs& account);
};

#endif  // VIGILD_SYSTEM_CLEANENVIRONMENT_H
