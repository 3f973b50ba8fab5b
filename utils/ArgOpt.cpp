#include "ArgOpt.h"

#include <cstring>

const char* const vide = "";

ArgOpt::ArgOpt() : argc(0), argv(nullptr) {}

ArgOpt::ArgOpt(int argCount, char** argVector) : argc(0), argv(nullptr) {
  Init(argCount, argVector);
}

int ArgOpt::Init(int argCount, char** argVector) {
  argc = argVector != nullptr && argCount > 0 ? argCount : 0;
  argv = argVector;
  return 1;
}

const char* ArgOpt::_ValueAfter(const char* arg, int offset) const {
  if (arg == nullptr) {
    return vide;
  }
  for (int i = 1; i + offset < argc; ++i) {
    if (argv[i] != nullptr && std::strcmp(argv[i], arg) == 0) {
      return argv[i + offset] != nullptr ? argv[i + offset] : vide;
    }
  }
  return vide;
}

int ArgOpt::GetPosition(const char* arg) const {
  if (arg == nullptr) {
    return -1;
  }
  for (int i = 1; i < argc; ++i) {
    if (argv[i] != nullptr && std::strcmp(argv[i], arg) == 0) {
      return i;
    }
  }
  return -1;
}

int ArgOpt::IsPresent(const char* arg) const { return GetPosition(arg) >= 0 ? 1 : 0; }

const char* ArgOpt::GetValue(const char* arg) const { return _ValueAfter(arg, 1); }
const char* ArgOpt::GetValue2(const char* arg) const { return _ValueAfter(arg, 2); }
const char* ArgOpt::GetValue3(const char* arg) const { return _ValueAfter(arg, 3); }

const char* ArgOpt::operator[](int i) const { return i >= 0 && i < argc ? argv[i] : nullptr; }
