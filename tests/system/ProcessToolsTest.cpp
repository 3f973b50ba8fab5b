#include <errno.h>
#include <grp.h>

#include <regex>

#include "ChildProcess.h"
#include "ProcessStartTime.h"
#include "ProcessTools.h"
#include "RunAs.h"
#include "ShellQuote.h"
#include "ShellWords.h"
#include "StderrCapture.h"
#include "TestCommon.h"

namespace {

// Milliseconds CommandLunch took; it must answer 1.
long MsToLaunch(const std::string& text, int mode) {
  String command(text.c_str());
  const int64_t start = NowMs();
  EXPECT_EQ(1, CommandLunch(command, mode)) << text;
  return NowMs() - start;
}

TEST(ProcessToolsTest, LaunchWaitsOnlyInForegroundAndIgnoresTheStatus) {
  TempDir dir;
  const std::string ran = dir.Join("ran");
  StderrCapture shellComplaints;  // the shell refuses "()&"
  EXPECT_LT(MsToLaunch("sleep 1; echo ran > " + ran, 0), 900);
  EXPECT_GE(MsToLaunch("sleep 1", 1), 900);
  EXPECT_LT(MsToLaunch("exit 3", 1) + MsToLaunch("", 0), 900);
  EXPECT_TRUE(WaitUntil([&] { return ReadAll(ran) == "ran\n"; }, 5000)) << ReadAll(ran);
}

// Without an account a command runs as the daemon; as another user, with that user's groups
// and files. What it prints must not reach the daemon's own streams.
TEST(ProcessToolsTest, CommandsRunInACleanContextOfTheirAccount) {
  TempDir dir;
  chmod(dir.path().c_str(), 0777);
  setenv("VIGILD_DAEMON_SECRET", "leaked", 1);
  const int high = fcntl(1, F_DUPFD, 100);  // not close-on-exec
  ASSERT_GE(high, 100);
  // A supplementary group of the daemon's that a command run as nobody must not keep.
  std::vector<gid_t> groups(getgroups(0, nullptr));
  ASSERT_EQ(getgroups(groups.size(), groups.data()), static_cast<int>(groups.size()));
  const gid_t extra = 4242;
  ASSERT_TRUE(geteuid() != 0 || setgroups(1, &extra) == 0);
  RunAs nobody;
  std::string error;
  ASSERT_TRUE(RunAs::ForUid(65534, nobody, error)) << error;
  EXPECT_EQ(nobody.name + " " + std::to_string(nobody.gid), "nobody 65534");
  EXPECT_NE(std::find(nobody.groups.begin(), nobody.groups.end(), nobody.gid), nobody.groups.end());
  RunAs own;
  EXPECT_FALSE(RunAs::ForUid(424242, own, error));
  EXPECT_NE(error.find("no account has uid 424242"), std::string::npos) << error;
  ASSERT_TRUE(RunAs::ForUid(geteuid(), own, error)) << error;
  for (const RunAs* as : std::initializer_list<const RunAs*>{nullptr, &nobody}) {
    if (as != nullptr && geteuid() != 0) {
      continue;  // only root can run a command as another user
    }
    const RunAs& account = as != nullptr ? *as : own;
    SCOPED_TRACE(account.name);
    const std::string out = dir.Join(account.name);
    // The shell lists its descriptors while expanding "*", the listing's own being 3: "0 1 2 3"
    // means nothing of the daemon came through, though the test holds descriptor 100 open.
    String command(("echo forged line; echo forged error >&2; id -G > " + out +
                    ".groups; n=; for f in 0 1 2; do [ /proc/self/fd/$f -ef /dev/null ] && " +
                    "n=$n$f; done; { id -ru; pwd; env | grep -v ^PWD= | sort; echo null:$n; } > " +
                    out + "; cd /proc/self/fd && set -- * && echo \"$*\" >> " + out)
                       .c_str());
    StderrCapture daemonStderr;
    StdoutCapture daemonStdout;
    ASSERT_EQ(CommandLunch(command, 1, as), 1);
    EXPECT_EQ(daemonStdout.Stop() + daemonStderr.Stop(), "");
    const std::string cwd = access(account.home.c_str(), X_OK) == 0 ? account.home : "/";
    EXPECT_EQ(ReadAll(out), std::to_string(account.uid) + "\n" + cwd + "\nHOME=" + account.home +
                                "\nLOGNAME=" + account.name +
                                "\nPATH=/usr/local/bin:/usr/bin:/bin\nSHELL=" + account.shell +
                                "\nUSER=" + account.name + "\nnull:012\n0 1 2 3\n");
    struct stat made {};
    ASSERT_EQ(stat(out.c_str(), &made), 0);
    EXPECT_EQ(made.st_uid, account.uid);
    if (as != nullptr) {
      EXPECT_EQ(ReadAll(out + ".groups"), "65534\n");
    }
  }
  unsetenv("VIGILD_DAEMON_SECRET");
  close(high);
  EXPECT_TRUE(geteuid() != 0 || setgroups(groups.size(), groups.data()) == 0);
}

TEST(ProcessToolsTest, ProbesFollowAChildUntilKillProcessEndsItAndCountOtherUsersProcesses) {
  EXPECT_EQ(getpid(), GetPID());
  unsigned long long mine = 0, started = 0;
  ASSERT_TRUE(ProcessStartTime::Read(getpid(), mine));
  EXPECT_GT(mine, 0u);
  uid_t uid = 99;
  ASSERT_TRUE(RunAs::ProcessRealUid(getpid(), uid));
  EXPECT_EQ(uid, getuid());
  const pid_t child = fork();
  if (child == 0) {
    for (;;) {
      pause();
    }
  }
  ASSERT_GT(child, 0);
  EXPECT_EQ(1, CheckPID(child));
  EXPECT_TRUE(ProcessStartTime::Read(child, started));
  EXPECT_GE(started, mine);
  EXPECT_EQ(1, KillProcess(child));
  ASSERT_EQ(128 + SIGKILL, WaitExit(child, 5000));
  // Gone, and ids below 1 (kill(…, 0) would find the process groups they name) are never one.
  for (int gone : {static_cast<int>(child), 0, -1, -5}) {
    EXPECT_EQ(0, CheckPID(gone)) << gone;
    EXPECT_FALSE(ProcessStartTime::Read(gone, started)) << gone;
    EXPECT_FALSE(RunAs::ProcessRealUid(gone, uid)) << gone;
  }
  EXPECT_FALSE(RunAs::ProcessRealUid(0x7FFFFFF0, uid));
  // A process its caller may not signal is alive all the same: init, asked as nobody (by a
  // child that drops to nobody when the test runs as root). 0: alive, 1: gone, 2: no EPERM.
  auto askInit = [] {
    if (kill(1, 0) == 0 || errno != EPERM) {
      return 2;
    }
    return CheckPID(1) == 1 ? 0 : 1;
  };
  if (getuid() != 0) {
    EXPECT_EQ(0, askInit());
    return;
  }
  const pid_t asker = fork();
  if (asker == 0) {
    _exit(setgid(65534) != 0 || setuid(65534) != 0 ? 3 : askInit());
  }
  ASSERT_GT(asker, 0);
  EXPECT_EQ(0, WaitExit(asker, 5000));
}

// A stat line whose command name is comm and whose field 22 is start.
std::string Stat(const std::string& comm, const std::string& start) {
  return "4242 (" + comm + ") S 1 4242 4242 0 -1 4194560 100 0 0 0 1 2 0 0 20 0 1 0 " + start +
         " 12345678 300 18446744073709551615 1 1 0 0 0 0 0 0 0 0 0 0 17 0 0 0 0 0 0";
}

TEST(ProcessStartTimeTest, ParseCountsFieldsFromTheLastParenthesis) {
  struct Case {
    std::string stat;
    unsigned long long ticks;  // 0: refused, and the result left as it was
  };
  const Case cases[] = {
      {Stat("sleep", "987654"), 987654},
      // A name built to shift the fields if they were counted from the first ')'.
      {Stat("a) R 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20 (", "555"), 555},
      {Stat("two words", "7"), 7},
      {Stat(")", "18446744073709551615"), 18446744073709551615ULL},
      {Stat("x", "18446744073709551616"), 0},  // does not fit
      {Stat("x", "-1"), 0},
      {Stat("x", "12a"), 0},
      {Stat("x", ""), 0},
      {"4242 (sleep) S 1 4242", 0},  // cut short
      {"4242 sleep S 1 4242 4242 0 -1 4194560 100 0 0 0 1 2 0 0 20 0 1 0 9", 0},
      {"", 0},
      {"4242 (x)", 0},
  };
  for (const Case& c : cases) {
    unsigned long long ticks = 0;
    EXPECT_EQ(c.ticks != 0, ProcessStartTime::Parse(c.stat, ticks)) << c.stat;
    EXPECT_EQ(c.ticks, ticks) << c.stat;
  }
}

TEST(RunAsTest, UserNamesAndNumbersResolveAndBadOnesAreNamed) {
  constexpr uid_t kUntouched = 4321;
  struct Case {
    const char* text;
    uid_t uid;
    const char* error;  // part of the error text; empty: resolved
  };
  const Case kCases[] = {
      {"root", 0, ""},
      {"nobody", 65534, ""},
      {"0", 0, ""},
      {"65534", 65534, ""},
      {"424242", 424242, ""},  // a number needs no account
      {"no-such-user-here", kUntouched, "unknown user 'no-such-user-here'"},
      {"4294967295", kUntouched, "'4294967295' out of range"},
      {"99999999999999999999", kUntouched, "out of range"},
      {"", kUntouched, "empty"},
  };
  for (const Case& c : kCases) {
    uid_t uid = kUntouched;
    std::string error;
    EXPECT_EQ(RunAs::ResolveUser(c.text, uid, error), *c.error == '\0') << c.text;
    EXPECT_EQ(uid, c.uid) << c.text;
    EXPECT_NE(error.find(c.error), std::string::npos) << c.text << ": " << error;
  }
}

// The registered start command gives back exactly its words through
// /usr/bin/sh, and never holds the text that ends an order block.
TEST(ShellQuoteTest, ShellGivesBackEveryWordAndNoEndMarkerSurvives) {
  const std::vector<std::vector<std::string>> cases = {
      {"/usr/bin/vigilctl", "run", "--", "python3", "-m", "http.server", "8000"},
      {"sh", "-c", "sleep 3; exit 3"},
      {"it's", "\"quoted\"", "$HOME", "`id`", "a\\b", "*", "", " lead", "tab\there"},
      {"backend.exe", "THE END;", "end,end.end;", "weekend.", "'end.'", "en", "d."},
  };
  static const std::regex kEndMarker("[eE][nN][dD][.;,]");
  for (const auto& words : cases) {
    const std::string line = ShellQuote::Line(words);
    EXPECT_FALSE(std::regex_search(line, kEndMarker)) << line;
    std::string expected;
    for (const std::string& word : words) {
      expected += word + std::string(1, '\0');
    }
    EXPECT_EQ(expected, ShellWords(line)) << line;
  }
  EXPECT_EQ("http.server", ShellQuote::Word("http.server"));
  EXPECT_EQ("'sleep 3; exit 3'", ShellQuote::Word("sleep 3; exit 3"));
}

}  // namespace
