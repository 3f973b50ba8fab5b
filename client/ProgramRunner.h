// ProgramRunner: "vigilctl run": starts a program as a child, registers the
// child's pid with the daemon (the same "vigilctl run" command line as start
// command, so a restart runs the program under the wrapper again, and
// "kill <child pid>" as stop command), sends a heartbeat with the child's
// resident set every max(1, wdfreq/2) seconds, passes SIGTERM, SIGINT and
// SIGHUP on to the child and, when the child ends, forgets it if it exited 0
// under the on-failure policy; any other end leaves the heartbeats to stop,
// so the daemon restarts it. A connection that broke is replaced and the
// registration sent again first, so a restarted daemon learns of the child.
//
// A value owned by vigilctl's main; one thread at a time. It blocks
// SIGTERM, SIGINT, SIGHUP and SIGCHLD in the calling thread for its whole
// run and reads them through a signalfd.
#ifndef VIGILD_CLIENT_PROGRAMRUNNER_H
#define VIGILD_CLIENT_PROGRAMRUNNER_H

#include <ostream>
#include <string>

#include "CtlArguments.h"

class ProgramRunner {
 public:
  static constexpr int kDefaultWdFreq = 10;

  // Runs arguments.command and returns vigilctl's exit status: the child's
  // exit status (128 + signal number when a signal ended it), 1 for refused
  // text, 2 when the daemon cannot be reached before the start, 126 or 127
  // when the program cannot be run. Messages go to err.
  static int Run(const CtlArguments& arguments, std::ostream& err);

  // The start command registered for arguments, with self as the path of
  // vigilctl.
  static std::string StartCommand(const CtlArguments& arguments, const std::string& self);
  // The name registered: --name, else the program's base name.
  static std::string Name(const CtlArguments& arguments);
  // Seconds between heartbeats for a wdfreq (-1: the default).
  static int HeartbeatSeconds(int wdfreq);
  // The resident set of pid in kB, from the VmRSS line of /proc/<pid>/status;
  // -1 when it cannot be read.
  static int ResidentKb(int pid);
  // The program's path: itself when it holds a '/', else the first
  // executable match along PATH; empty when there is none.
  static std::string FindProgram(const std::string& program, const char* pathVariable);
};

#endif  // VIGILD_CLIENT_PROGRAMRUNNER_H
