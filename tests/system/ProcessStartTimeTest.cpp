#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "ProcessStartTime.h"

namespace {

// A stat line whose command name is comm and whose field 22 is start.
std::string Stat(const std::string& comm, const std::string& start) {
  return "4242 (" + comm + ") S 1 4242 4242 0 -1 4194560 100 0 0 0 1 2 0 0 20 0 1 0 " + start +
         " 12345678 300 18446744073709551615 1 1 0 0 0 0 0 0 0 0 0 0 17 0 0 0 0 0 0";
}

TEST(ProcessStartTimeTest, ParseCountsFieldsFromTheLastParenthesis) {
  struct Case {
    std::string stat;
    bool ok;
    unsigned long long ticks;
  };
  const Case cases[] = {
      {Stat("sleep", "987654"), true, 987654},
      // A name built to shift the fields if they were counted from the first ')'.
      {Stat("a) R 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20 (", "555"), true, 555},
      {Stat("two words", "7"), true, 7},
      {Stat(")", "18446744073709551615"), true, 18446744073709551615ULL},
      {Stat("x", "18446744073709551616"), false, 0},  // does not fit
      {Stat("x", "-1"), false, 0},
      {Stat("x", "12a"), false, 0},
      {Stat("x", ""), false, 0},
      {"4242 (sleep) S 1 4242", false, 0},  // cut short
      {"4242 sleep S 1 4242 4242 0 -1 4194560 100 0 0 0 1 2 0 0 20 0 1 0 9", false, 0},
      {"", false, 0},
      {"4242 (x)", false, 0},
  };
  for (const Case& c : cases) {
    unsigned long long ticks = 0;
    EXPECT_EQ(c.ok, ProcessStartTime::Parse(c.stat, ticks)) << c.stat;
    if (c.ok) {
      EXPECT_EQ(c.ticks, ticks) << c.stat;
    }
  }
}

// Our own start time reads the same twice, a child's is never earlier, and once the child is
// reaped its pid reads as gone; ids below 1 are never a process.
TEST(ProcessStartTimeTest, ReadsLiveProcessesAndRefusesGoneOnes) {
  unsigned long long mine = 0, again = 0, child = 0;
  ASSERT_TRUE(ProcessStartTime::Read(getpid(), mine));
  ASSERT_TRUE(ProcessStartTime::Read(getpid(), again));
  EXPECT_EQ(mine, again);
  EXPECT_GT(mine, 0u);

  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    pause();
    _exit(0);
  }
  EXPECT_TRUE(ProcessStartTime::Read(pid, child));
  EXPECT_GE(child, mine);
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  EXPECT_FALSE(ProcessStartTime::Read(pid, child));

  for (int bad : {0, -1, -5}) {
    EXPECT_FALSE(ProcessStartTime::Read(bad, child)) << bad;
  }
}

}  // namespace
