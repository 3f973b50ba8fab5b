// StatusView: vigilctl's reading of the daemon's status file: whether a
// daemon is running (the file exists, its daemon pid is alive, it is marked
// running and was rewritten less than kMaxAgeSeconds ago), the state of
// each program name, and the watched processes and programs as an aligned
// table for people. A file of a daemon that writes no "programs" object
// reads as one without any program.
//
// A value owned by vigilctl's main; one thread at a time.
#ifndef VIGILD_CLIENT_STATUSVIEW_H
#define VIGILD_CLIENT_STATUSVIEW_H

#include <time.h>

#include <string>
#include <vector>

class StatusView {
 public:
  // The daemon rewrites the file every second; older means it is gone.
  static constexpr long kMaxAgeSeconds = 5;

  // Where the file is looked for without --status-file:
  // $TLMHOME/log/vigild.status.json, else the packaged home's
  // /var/lib/vigild/log/vigild.status.json.
  static std::string DefaultPath(const char* tlmhome);

  // Reads and parses path. False with the reason in *error when the file is
  // missing, unreadable or not the status document.
  bool Load(const std::string& path, std::string* error);
  // True when the loaded file describes a running daemon at time now; else
  // false with the reason in *why.
  bool Running(time_t now, std::string* why) const;
  // The file's own text.
  const std::string& Text() const { return text; }
  // The state of program name in the "programs" object: "watching",
  // "restarting", "waiting", "failed" or whatever the daemon wrote; empty
  // when the file names no such program.
  std::string ProgramState(const std::string& name) const;
  // Whether a program file defines name (its entry says "defined": true).
  bool ProgramDefined(const std::string& name) const;
  // The pids of the processes registered as name, ascending.
  std::vector<long> ProgramPids(const std::string& name) const;
  // A summary line, then PID, NAME, STATE, LAST BEAT (seconds ago), WDFREQ,
  // WSET, NOMINAL, MAX, ERRORS, RESTARTS in aligned columns; "-" for a limit
  // that is off. With a "programs" object, also LAST EXIT, REASON and
  // UPTIME, the state and restarts per name, "waiting" with its seconds
  // left, and a line for each program without a process. Control
  // characters in texts are shown as '?'.
  std::string Table(time_t now) const;

 private:
  // The two readers above; a field of the wrong type throws out of them.
  bool _Running(time_t now, std::string* why) const;
  std::string _Table(time_t now) const;
  std::string _ProgramState(const std::string& name) const;

  std::string path;
  std::string text;
};

#endif  // VIGILD_CLIENT_STATUSVIEW_H
