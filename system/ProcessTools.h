// ProcessTools: the daemon's hold on other processes. Free functions that run
// a command line through the POSIX shell (detached, or waiting for its end),
// probe whether a process id still exists, kill a process with "kill -9" and
// give the daemon's own process id.
//
// No objects: nothing is owned. Safe for concurrent use.
#ifndef VIGILD_SYSTEM_PROCESSTOOLS_H
#define VIGILD_SYSTEM_PROCESSTOOLS_H

#include <functional>

#include "String.h"

class RunAs;

// Runs command through "/usr/bin/sh -c". Mode 1 waits for the shell to end;
// any other mode wraps the command as "(command)&" so that the shell returns
// at once and the command runs on its own. The command runs in a clean
// context: an environment of PATH=/usr/local/bin:/usr/bin:/bin and the HOME,
// SHELL, USER and LOGNAME of the account it runs as, that account's home as
// its directory ("/" when that cannot be entered), /dev/null as standard
// input, output and error, and no other descriptor of the daemon. The
// command's exit status is never examined. 0 when nothing is launched (the
// descriptor limit or /dev/null cannot be had, logged here); 1 otherwise,
// also after a fork failure, which is logged here.
int CommandLunch(String& command, int mode);
// The same with the identity of `as` (null: the daemon's own, whose account
// then gives the environment): the child
// sets its supplementary groups, then its group, then its user, checks each
// step and that the user cannot be taken back, and ends with status 255 and
// one standard-error line instead of running the command if any step fails.
// The daemon itself never changes identity.
int CommandLunch(String& command, int mode, const RunAs* as);

// 1 while a process with this id exists, also one of another user; 0 once it
// is gone. Ids below 1 name process groups, not a process: 0.
int CheckPID(int pid);

// Runs "kill -9 <pid>" in the foreground. 0, after logging, when the command
// could not be launched or pid is below 1 (which would signal a whole process
// group); 1 otherwise, whether or not the process was there.
int KillProcess(int pid);
// The same through launch, which runs the command it is handed in the
// foreground (as CommandLunch(command, 1) does, possibly as another user) and
// answers as CommandLunch does. The one place that builds, runs and logs the
// forced kill.
int KillProcess(int pid, const std::function<int(String& command)>& launch);

int GetPID();

#endif  // VIGILD_SYSTEM_PROCESSTOOLS_H
