// ChildProcess: starting the project's real binaries from a test in a clean
// environment, and waiting for their end.
// Free functions; each child belongs to the test that started it.
#ifndef VIGILD_TESTS_SUPPORT_CHILDPROCESS_H
#define VIGILD_TESTS_SUPPORT_CHILDPROCESS_H

#include <sys/types.h>

#include "TestCommon.h"

// Starts argv[0] with exactly env plus PATH and this process's sanitizer
// settings (so that a report in the child fails the test), standard output
// into the file out (or the descriptor outFd when it is not -1) and standard
// error into the file err. A handedSocket becomes descriptor 3 with
// LISTEN_PID and LISTEN_FDS, the way a service manager hands over a
// listening socket. Returns the pid.
pid_t SpawnClean(std::vector<std::string> argv, std::vector<std::string> env,
                 const std::string& out, const std::string& err, int outFd = -1,
                 int handedSocket = -1);
// The exit status (128 + signal), or -1 when pid has not ended within timeoutMs.
int WaitExit(pid_t pid, int timeoutMs);

#endif  // VIGILD_TESTS_SUPPORT_CHILDPROCESS_H
