// TestWaits: the small waits and probes that tests of threads, sockets and
// child processes share: polling a condition with a deadline, finding a free
// loopback port, reading a whole file.
// Free functions, safe for concurrent use.
#ifndef VIGILD_TESTS_SUPPORT_TESTWAITS_H
#define VIGILD_TESTS_SUPPORT_TESTWAITS_H

#include <stdint.h>

#include <functional>
#include <string>

// Polls done every stepMs until it is true (true) or timeoutMs have passed
// (false). Deadlines are generous on purpose: a wait that succeeds returns
// as soon as it does, so only a real fault pays the whole time-out.
bool WaitUntil(const std::function<bool()>& done, int timeoutMs, int stepMs = 20);
// A TCP port on 127.0.0.1 that nobody listened on a moment ago: the
// kernel's pick for a socket bound to port 0.
int FreePort();
// The whole content of path; "" when it cannot be read.
std::string ReadAll(const std::string& path);
// A close-on-exec pipe of one page whose writing end ends[1] is full, as a
// reader that stopped reading leaves it; false when it cannot be made.
bool FullPipe(int ends[2]);
// Milliseconds on the monotonic clock, for measuring how long something took.
int64_t NowMs();

// The sanitizer builds run the same code many times slower: a bound on how
// long the product takes is held exactly in the plain build, and with room
// in these.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

#endif  // VIGILD_TESTS_SUPPORT_TESTWAITS_H
