// ShellWords: what /usr/bin/sh makes of a command line, for tests of the
// command lines the client writes for the daemon to run.
// Free functions, safe for concurrent use.
#ifndef VIGILD_TESTS_SUPPORT_SHELLWORDS_H
#define VIGILD_TESTS_SUPPORT_SHELLWORDS_H

#include "TestCommon.h"

// The words sh makes of line.
std::vector<std::string> ShellWordList(const std::string& line);

#endif  // VIGILD_TESTS_SUPPORT_SHELLWORDS_H
