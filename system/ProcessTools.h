// ProcessTools: the daemon's hold on other processes. Free functions that run
// a command line through the POSIX shell (detached, or waiting for its end),
// probe whether a process id still exists, kill a process with "kill -9" and
// give the daemon's own process id.
//
// No objects: nothing is owned. Safe for concurrent use; a descriptor that
// another thread opens without close-on-exec while a launch is between its
// descriptor sweep and its fork may still reach that one command.
#ifndef VIGILD_UTILS_PROCESSTOOLS_H
#define VIGILD_UTILS_PROCESSTOOLS_H

#include "String.h"

class RunAs;

// Runs command through "/usr/bin/sh -c". Mode 1 waits for the shell to end;
// any other mode wraps the command as "(command)&" so that the shell returns
// at once and the command runs on its own. Descriptors above 2 are marked
// close-on-exec in the daemon first, so the command inherits only 0, 1 and 2.
// The command's exit status is never examined. 0 only when the descriptor
// limit cannot be read (nothing is launched); 1 otherwise, also after a fork
// failure, which is logged here.
int CommandLunch(String& command, int mode);
// The same with the identity of `as` (null: the daemon's own): the child
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

int GetPID();

#endif  // VIGILD_UTILS_PROCESSTOOLS_H
