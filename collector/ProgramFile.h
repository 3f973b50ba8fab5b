// ProgramFile: one program file (NAME.conf in the program directory) read
// into a ProgramDefinition, and the whole directory read at once. The reader
// is strict: every line is blank, a comment (its first non-blank character
// is '#') or "key = value"; an unknown key, a key given twice, a value out of
// range, a missing command, an unknown user, a user other than the daemon's
// named by a daemon that is not root, or a directory that does not exist
// makes the whole file bad, with one message naming the file, the line and
// the key.
//
// `command` is split into words as the shell would (blanks separate words,
// single quotes keep everything, double quotes keep everything but a
// backslash before '"', '\\', '$' or '`', a backslash outside quotes keeps
// the next character, an unquoted '#' at the start of a word begins a
// comment) with no expansion of variables, globs or the home directory.
//
// Values only; safe for concurrent use (the user database is read with the
// reentrant calls).
#ifndef VIGILD_COLLECTOR_PROGRAMFILE_H
#define VIGILD_COLLECTOR_PROGRAMFILE_H

#include <sys/types.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

struct ProgramDefinition {
  static constexpr long kDefaultLogSize = 10L * 1024 * 1024;
  static constexpr int kDefaultLogKeep = 5;

  std::string name;  // the file's name without ".conf"
  std::string file;  // the file's path
  std::vector<std::string> command;
  std::string user;  // as written; empty: the daemon's own
  uid_t uid = 0;     // the user's id, or the daemon's
  std::string directory = "/";
  std::vector<std::pair<std::string, std::string>> env;  // in the order written
  std::string check;  // empty: no check
  int checkEvery = 5, checkTimeout = 2, checkFailures = 3, checkGrace = 10;
  // -1: not given, the test stays off (wdfreq: vigilctl run's default).
  int wdfreq = -1, maxwset = -1, minwset = -1, wsetincr = -1, nomwset = -1, maxerrors = -1;
  std::string restart = "on-failure";
  std::string output = "log";
  long logSize = kDefaultLogSize;
  int logKeep = kDefaultLogKeep;

  // Every field but file: a reload restarts a program whose definition
  // changed and leaves one whose definition did not.
  bool SameAs(const ProgramDefinition& other) const;
};

class ProgramFile {
 public:
  // Files larger than this are refused unread.
  static constexpr long kMaxFileBytes = 64 * 1024;
  // Program names: letters, digits, '.', '_' and '-', not starting with '.'
  // or '-', at most this long.
  static constexpr size_t kMaxNameLength = 64;

  // Reads text, the contents of file `path`, as program `name`. daemonUid is
  // the daemon's effective user. False with the message in *error.
  static bool Parse(const std::string& name, const std::string& path, const std::string& text,
                    uid_t daemonUid, ProgramDefinition* out, std::string* error);
  // Splits a command value into words; false with the reason in *error on an
  // unterminated quote or a trailing backslash.
  static bool SplitWords(const std::string& text, std::vector<std::string>* words,
                         std::string* error);
  // Whether name may name a program.
  static bool ValidName(const std::string& name);
  // Every key a program file may hold, in the order the manual page gives
  // them; "env.NAME" stands for every "env." key.
  static const std::vector<std::string>& Keys();
  // Every NAME.conf in directory (other names, hidden files and anything
  // that is not a regular file are passed over). A bad file adds its message
  // to *errors and is left out. A directory that does not exist defines no
  // program; one that cannot be read adds a message.
  static std::map<std::string, ProgramDefinition> ReadDirectory(const std::string& directory,
                                                                uid_t daemonUid,
                                                                std::vector<std::string>* errors);
  // The "vigilctl run" line that starts definition: vigilctl is the client's
  // path, socket and port where it reaches the daemon, logFile the output's
  // file (used with output "log"). Every word shell-quoted.
  static std::string RunLine(const ProgramDefinition& definition, const std::string& vigilctl,
                             const std::string& socket, int port, const std::string& logFile);
};

#endif  // VIGILD_COLLECTOR_PROGRAMFILE_H
