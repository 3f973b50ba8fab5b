#include "CliParser.h"

#include <cstring>

#include "File.h"

CliParser::CliParser() : argc(0), argv(nullptr) {}

CliParser::CliParser(int argCount, char** argVector) : argc(0), argv(nullptr) {
  AttachArgs(argCount, argVector);
}

void CliParser::AttachArgs(int argCount, char** argVector) {
  argc = argVector != nullptr && argCount > 0 ? argCount : 0;
  argv = argVector;
  programName.clear();
  unreadTokens.clear();
  if (argc == 0) {
    return;
  }
  if (argv[0] != nullptr) {
    std::string dir;
    std::string ext;
    File::Split(argv[0], dir, programName, ext);
  }
  for (int i = 1; i < argc; ++i) {
    if (argv[i] != nullptr) {
      unreadTokens.push_back(argv[i]);
    }
  }
}

int CliParser::_FindSwitch(const char* name, int from) const {
  if (name == nullptr) {
    return -1;
  }
  for (int i = from; i < argc; ++i) {
    const char* arg = argv[i];
    if (arg != nullptr && arg[0] == '-' && arg[1] != '\0' && std::strcmp(arg + 1, name) == 0) {
      return i;
    }
  }
  return -1;
}

bool CliParser::_IsValueAt(int i) const {
  return i < argc && argv[i] != nullptr && argv[i][0] != '-';
}

bool CliParser::discreteSwitch(const char* name, bool& value, bool mandatory) {
  const int at = _FindSwitch(name, 1);
  if (at < 0) {
    return !mandatory;
  }
  markTokenAsRead(argv[at]);
  const char* word = "1";
  if (_IsValueAt(at + 1)) {
    word = argv[at + 1];
    markTokenAsRead(argv[at + 1]);
  }
  value = word[0] != '\0' && std::strchr("1TYty", word[0]) != nullptr;
  return true;
}

bool CliParser::discreteFlag(const char* name) {
  bool found = false;
  for (int at = _FindSwitch(name, 1); at >= 0; at = _FindSwitch(name, at + 1)) {
    markTokenAsRead(argv[at]);
    found = true;
  }
  return found;
}

bool CliParser::optionOne(const char* name, std::string& value) {
  const int at = _FindSwitch(name, 1);
  if (at < 0) {
    return false;
  }
  markTokenAsRead(argv[at]);
  if (!_IsValueAt(at + 1)) {
    return false;
  }
  value = argv[at + 1];
  markTokenAsRead(argv[at + 1]);
  return true;
}

bool CliParser::popUnreadToken(std::string& token) {
  if (unreadTokens.empty()) {
    return false;
  }
  token = unreadTokens.front();
  unreadTokens.pop_front();
  return true;
}

bool CliParser::printCommandLineArguments(std::string& out, int first) {
  out.clear();
  for (int i = first < 0 ? 0 : first; i < argc; ++i) {
    if (argv[i] != nullptr) {
      out += ' ';
      out += argv[i];
    }
  }
  return true;
}

void CliParser::markTokenAsRead(char* const& token) {
  readTokens.push_back(token);
  unreadTokens.remove(token);
}
