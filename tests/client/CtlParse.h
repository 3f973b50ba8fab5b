// vigilctl's argument parser run on a command line given word by word, for
// the tests of the parser and of what "vigilctl run" writes back for it.
#ifndef VIGILD_TESTS_CLIENT_CTLPARSE_H
#define VIGILD_TESTS_CLIENT_CTLPARSE_H

#include <gtest/gtest.h>

#include "CtlArguments.h"

// "accepted", with the arguments in *arguments, or the cause of the refusal.
inline std::string Parse(const std::vector<std::string>& words, const char* envPort = nullptr,
                         CtlArguments* arguments = nullptr) {
  std::vector<const char*> argv{"vigilctl"};
  for (const std::string& word : words) {
    argv.push_back(word.c_str());
  }
  CtlArguments unused;
  std::string error;
  return CtlArguments::Parse(static_cast<int>(argv.size()), argv.data(), envPort,
                             arguments ? arguments : &unused, &error)
             ? "accepted"
             : error;
}

// The arguments of words, which must be accepted.
inline CtlArguments Parsed(const std::vector<std::string>& words, const char* envPort = nullptr) {
  CtlArguments arguments;
  EXPECT_EQ("accepted", Parse(words, envPort, &arguments));
  return arguments;
}

#endif  // VIGILD_TESTS_CLIENT_CTLPARSE_H
