// CtlArguments: vigilctl's command line, read into one record: the verb,
// where the daemon is, and the verb's options. Long options only, as
// "--name value" or "--name=value"; numbers are decimal and range-checked;
// every mistake gives a one-line reason. run's --env, --check and its
// companions are checked here too, so that nothing starts with a value
// that a restart would refuse.
//
// A value owned by vigilctl's main; one thread at a time.
#ifndef VIGILD_CLIENT_CTLARGUMENTS_H
#define VIGILD_CLIENT_CTLARGUMENTS_H

#include <string>
#include <vector>

class CtlArguments {
 public:
  enum Verb {
    kNone, kWatch, kBeat, kForget, kRun, kStatus, kReset, kStop, kStart, kRestart, kReload, kLogs
  };
  enum Restart { kOnFailure, kAlways, kNever };

  static constexpr int kDefaultCheckEvery = 5;
  static constexpr int kDefaultCheckTimeout = 2;
  static constexpr int kDefaultCheckFailures = 3;
  static constexpr int kDefaultCheckGrace = 10;

  // Reads argv (argv[0] is the program). envPort is the value of
  // TLM_SNMP_COLL_VIGILDPORT (null when unset); --port wins over it, and 3003
  // is used when neither is given. False with the reason in *error on a
  // usage mistake; with "--help" anywhere, true and help set. A bare
  // "--env NAME" takes NAME's value from this process's environment.
  static bool Parse(int argc, const char* const* argv, const char* envPort, CtlArguments* out,
                    std::string* error);
  // The usage text, ending with a line feed.
  static std::string Usage();
  // "on-failure", "always" or "never".
  static const char* RestartName(Restart restart);
  // The daemon's local socket: $TLMHOME/run/vigild.sock, else the
  // packaged place.
  static std::string DefaultSocket(const char* tlmhome);
  // Where the programs' output logs are: $TLMHOME/log/programs, else the
  // packaged /var/log/vigild/programs.
  static std::string DefaultLogDir(const char* tlmhome);

  Verb verb = kNone;
  bool help = false;
  std::string host = "127.0.0.1";
  int port = 3003;
  int pid = -1;
  // run: empty means the command's base name; reset, stop, start, restart
  // and logs: the program
  std::string name;
  std::string start;
  std::string stop;
  // -1: not given.
  int wdfreq = -1;
  int maxwset = -1;
  int minwset = -1;
  int wsetincr = -1;
  int maxerrors = -1;
  int wset = -1;
  int nomwset = -1;
  int errors = -1;
  Restart restart = kOnFailure;
  bool json = false;
  std::string statusFile;            // status: empty means the default place
  std::string socketPath;            // the local socket; empty: TCP only
  bool socketGiven = false;          // --socket was given (an empty one too)
  bool hostGiven = false;            // --host was given
  std::vector<std::string> command;  // run: the program and its arguments
  std::vector<std::string> env;      // run: "NAME=VALUE", in the order given
  std::string chdir;                 // run: the program's directory; empty: the current one
  std::string check;                 // run: the health check's URL; empty: none
  int checkEvery = kDefaultCheckEvery;        // run: seconds between checks
  int checkTimeout = kDefaultCheckTimeout;    // run: seconds one check may take
  int checkFailures = kDefaultCheckFailures;  // run: failures in a row that restart
  int checkGrace = kDefaultCheckGrace;        // run: seconds after the start that never count
  std::string statusCheck;                    // status --check: the program name
  std::string output = "inherit";             // run: "inherit", "log" or "null"
  std::string logFile;                        // run --log: where the output goes
  int logSize = 10 * 1024 * 1024;             // run: bytes before the log is rotated
  int logKeep = 5;                            // run: rotated files kept
  int lines = 10;                             // logs: lines shown
  bool follow = false;                        // logs: keep printing what comes
  std::string logDir;                         // logs: where the programs' logs are
};

#endif  // VIGILD_CLIENT_CTLARGUMENTS_H
