// ProgramLogs: "vigilctl logs": reads a program's output log as OutputLog
// writes it: FILE, and the rotated FILE.1 (newest) to FILE.K (oldest). Tail
// prints the last lines across the files, oldest first; Follow then prints
// what is appended, and goes on in the new file when the log is rotated.
//
// A value owned by vigilctl's main; one thread at a time.
#ifndef VIGILD_CLIENT_PROGRAMLOGS_H
#define VIGILD_CLIENT_PROGRAMLOGS_H

#include <sys/types.h>

#include <functional>
#include <ostream>
#include <string>

class ProgramLogs {
 public:
  // Rotated files looked at, at most.
  static constexpr int kMaxRotated = 1000;

  explicit ProgramLogs(std::string path);

  // Writes the last `lines` lines to out. False with the reason in *error
  // when the log does not exist or cannot be read.
  bool Tail(size_t lines, std::ostream& out, std::string* error);
  // Writes what is appended to the log from where Tail ended, checking
  // every pollMs, until done() returns true.
  void Follow(std::ostream& out, const std::function<bool()>& done, unsigned pollMs);

 private:
  const std::string path;
  off_t offset = 0;   // how far the current file has been printed
  ino_t inode = 0;    // the current file's
};

#endif  // VIGILD_CLIENT_PROGRAMLOGS_H
