// ProgramRunner: "vigilctl run": starts a program as a child in a clean
// context (the environment the daemon gives its commands, plus the --env
// variables, in the --chdir directory or the current one), registers the
// child's pid with the daemon, and sends a heartbeat with the child's
// resident set every max(1, wdfreq/2) seconds.
//
// The start command registered is a "vigilctl run" line that carries the
// directory, the resolved variables and every check setting, so a restart,
// which the daemon runs from the account's home in a clean environment,
// runs the program exactly as the first start did. The stop command is
// "kill <wrapper pid>": the wrapper passes SIGTERM, SIGINT and SIGHUP on to
// the child, each followed by SIGCONT so that a stopped child ends too.
//
// When the child ends on its own, the wrapper tells the daemon at once: a
// heartbeat with "psdown: exit N" or "psdown: signal N" when the --restart
// policy calls for a restart, else a forget. With --check, a health check
// failing check-failures times in a row (or a stopped or zombie child)
// sends "psdown: probe" and ends the heartbeats. A connection that broke is
// replaced and the registration sent again first, so a restarted daemon
// learns of the child.
//
// A value owned by vigilctl's main; one thread at a time. It blocks
// SIGTERM, SIGINT, SIGHUP and SIGCHLD in the calling thread for its whole
// run and reads them through a signalfd.
#ifndef VIGILD_CLIENT_PROGRAMRUNNER_H
#define VIGILD_CLIENT_PROGRAMRUNNER_H

#include <ostream>
#include <string>
#include <vector>

#include "CtlArguments.h"

class ProgramRunner {
 public:
  static constexpr int kDefaultWdFreq = 10;

  // Runs arguments.command and returns vigilctl's exit status: the child's
  // exit status (128 + signal number when a signal ended it), 1 for refused
  // text or a context that cannot be had (directory, check host), 2 when
  // the daemon cannot be reached before the start, 126 or 127 when the
  // program cannot be run. Messages go to err.
  static int Run(const CtlArguments& arguments, std::ostream& err);

  // The start command registered for arguments, with self as the path of
  // vigilctl and directory as the program's directory:
  //   SELF run --host H --port P [--socket PATH] --name NAME --wdfreq S
  //     [--maxwset KB] [--minwset KB] [--wsetincr PCT] [--nomwset KB]
  //     --restart POLICY --chdir DIR [--env NAME=VALUE]...
  //     [--check URL --check-every S --check-timeout S --check-failures N
  //      --check-grace S] -- CMD [ARGS...]
  // every word shell-quoted.
  static std::string StartCommand(const CtlArguments& arguments, const std::string& self,
                                  const std::string& directory);
  // The name registered: --name, else the program's base name.
  static std::string Name(const CtlArguments& arguments);
  // Seconds between heartbeats for a wdfreq (-1: the default).
  static int HeartbeatSeconds(int wdfreq);
  // The resident set of pid in kB, from the VmRSS line of /proc/<pid>/status;
  // -1 when it cannot be read.
  static int ResidentKb(int pid);
  // The state letter of pid from /proc/<pid>/stat ('R', 'S', 'T', 'Z'...);
  // '\0' when it cannot be read.
  static char ProcessState(int pid);
  // The program's environment: the clean one of this process's account,
  // each "NAME=VALUE" of extra replacing the entry of the same name or
  // added after them.
  static std::vector<std::string> Environment(const std::vector<std::string>& extra);
  // The program's path: itself when it holds a '/', else the first
  // executable match along pathVariable (the program's own PATH); empty
  // when there is none.
  static std::string FindProgram(const std::string& program, const char* pathVariable);
  // The "psdown" value for a wait status: "exit N" or "signal N".
  static std::string DownValue(int status);
};

#endif  // VIGILD_CLIENT_PROGRAMRUNNER_H
