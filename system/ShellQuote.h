// ShellQuote: writes a list of words as one POSIX shell command line that
// gives back exactly those words, for the start command vigilctl registers
// and the line the daemon builds for a program file (it runs both through
// /usr/bin/sh). The line never holds "end" followed by '.', ';' or ',' in
// any case, which would end the daemon's order block: such text is split by
// an empty quoted pair ("en''d.").
//
// No objects; safe for concurrent use.
#ifndef VIGILD_SYSTEM_SHELLQUOTE_H
#define VIGILD_SYSTEM_SHELLQUOTE_H

#include <string>
#include <vector>

class ShellQuote {
 public:
  // One word: bare when it holds only characters the shell never reads
  // specially, else in single quotes.
  static std::string Word(const std::string& word);
  // The words, quoted, separated by one blank.
  static std::string Line(const std::vector<std::string>& words);
};

#endif  // VIGILD_SYSTEM_SHELLQUOTE_H
