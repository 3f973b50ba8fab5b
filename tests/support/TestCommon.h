// TestCommon: what nearly every test file uses, included once instead of a
// block at the top of each: GoogleTest, the C++ and POSIX headers of threads,
// processes, files and sockets, and the waits and temporary directories of
// tests/support. A test still includes the project's headers it exercises.
#ifndef VIGILD_TESTS_SUPPORT_TESTCOMMON_H
#define VIGILD_TESTS_SUPPORT_TESTCOMMON_H

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "TempDir.h"
#include "TestWaits.h"

#endif
