// CliParser: answers questions about the program's arguments by switch name
// (is "-name" present, which value follows it) and keeps track of which
// arguments the questions have consumed, so that what is left can be listed.
// A switch is an argument of more than one character that starts with '-';
// its name is the rest, matched exactly. A value never starts with '-'.
//
// Owned by main for the whole run; it points into the caller's argv, which
// must outlive it. One thread at a time.
#ifndef VIGILD_UTILS_CLIPARSER_H
#define VIGILD_UTILS_CLIPARSER_H

#include <list>
#include <string>

class CliParser {
 public:
  CliParser();
  CliParser(int argc, char** argv);

  // Takes a new vector: the program name and the unread list are rebuilt
  // from it; the read list is kept.
  void AttachArgs(int argc, char** argv);

  // A yes/no switch with an optional value word. When "-name" is missing,
  // `value` is untouched and the result is !mandatory. Otherwise `value` is
  // true when the word (default "1") starts with 1, T, Y, t or y.
  bool discreteSwitch(const char* name, bool& value, bool mandatory);
  // Marks every "-name" as read; true when there was one.
  bool discreteFlag(const char* name);
  // True with `value` set when the first "-name" is followed by a value. The
  // switch is marked as read even when its value is missing.
  bool optionOne(const char* name, std::string& value);

  // Removes the oldest unread argument into `token` (without marking it as
  // read); false when none is left.
  bool popUnreadToken(std::string& token);
  // out = " argv[first] argv[first+1] ..." (a blank before each). Always true.
  bool printCommandLineArguments(std::string& out, int first);
  // Moves the argument at this address (not any argument with the same text)
  // from the unread list to the read list.
  void markTokenAsRead(char* const& token);

  // argv[0] without directory and extension.
  const std::string& ProgramName() const { return programName; }
  // Consumed arguments in the order they were consumed.
  const std::list<char*>& ReadTokens() const { return readTokens; }

 private:
  // Position (1 ... argc-1) of the first argument that is the switch
  // "-name", or -1.
  int _FindSwitch(const char* name, int from) const;
  // True when position i exists and does not start with '-'.
  bool _IsValueAt(int i) const;

  int argc;
  char** argv;
  std::string programName;
  std::list<char*> unreadTokens;
  std::list<char*> readTokens;
};

#endif  // VIGILD_UTILS_CLIPARSER_H
