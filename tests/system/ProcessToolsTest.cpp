#include <errno.h>
#include <grp.h>
#include <pwd.h>

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

// Without an account a command runs as the daemon; as another user, with that user's groups
// and files. What it prints must not reach the daemon's own streams.
TEST(ProcessToolsTest, LaunchWaitsOnlyInForegroundAndRunsInACleanContextOfTheAccount) {
  TempDir dir;
  const std::string ran = dir.Join("ran");
  StderrCapture shellComplaints;  // the shell refuses "()&"
  EXPECT_LT(MsToLaunch("sleep 1; echo ran > " + ran, 0), 900);
  EXPECT_GE(MsToLaunch("sleep 1", 1), 900);
  EXPECT_LT(MsToLaunch("exit 3", 1) + MsToLaunch("", 0), 900);
  EXPECT_TRUE(WaitUntil([&] { return ReadAll(ran) == "ran\n"; }, 5000)) << ReadAll(ran);
  shellComplaints.Stop();
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
  const pid_t child = SpawnClean({"/bin/sleep", "600"}, {}, "/dev/null", "/dev/null");
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
  // A process its caller may not signal is alive all the same: init, asked as nobody (the child
  // drops to nobody when the test runs as root). 0: alive, 1: gone, 2: no EPERM, 3: no drop.
  const pid_t asker = fork();
  if (asker == 0) {
    if (getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) {
      _exit(3);
    }
    _exit(kill(1, 0) == 0 || errno != EPERM ? 2 : CheckPID(1) == 1 ? 0 : 1);
  }
  ASSERT_GT(asker, 0);
  EXPECT_EQ(0, WaitExit(asker, 5000));
}

// A stat line whose command name is comm and whose field 22 is start.
std::string Stat(const std::string& comm, const std::string& start) {
  return "4242 (" + comm + ") S 1 4242 4242 0 -1 4194560 100 0 0 0 1 2 0 0 20 0 1 0 " + start +
         " 12345678 300 18446744073709551615 1 1 0 0 0 0 0 0 0 0 0 0 17 0 0 0 0 0 0";
}

TEST(ProcessStartTimeTest, ParseReadsBackEveryNumberAfterTheLastParenthesisAndRefusesTheRest) {
  unsigned long long ticks = 0;
  // The second name shifts the fields if they were counted from the first ')'.
  for (const char* comm :
       {"sleep", ")", "a) R 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 (x"}) {
    for (int bit = 0; bit < 64; ++bit) {
      for (unsigned long long value : {1ULL << bit, (1ULL << bit) - 1, ~0ULL >> bit}) {
        const std::string stat = Stat(comm, std::to_string(value));
        EXPECT_TRUE(ProcessStartTime::Parse(stat, ticks) && ticks == value) << stat;
      }
    }
  }
  // Refused, and the result left as it was: a number that does not fit or is not plain digits,
  // a line without the '(' of its command name, and a cut anywhere before the start time.
  auto refuses = [&ticks](const std::string& stat) {
    ticks = 4321;
    return !ProcessStartTime::Parse(stat, ticks) && ticks == 4321;
  };
  for (const char* bad : {"18446744073709551616", "-1", "12a", "", " 5"}) {
    EXPECT_TRUE(refuses(Stat("x", bad))) << bad;
  }
  const std::string whole = Stat("x", "987654");
  EXPECT_TRUE(refuses(whole.substr(0, 5) + whole.substr(6)));
  for (size_t cut = 0; cut <= whole.find("987654"); ++cut) {
    EXPECT_TRUE(refuses(whole.substr(0, cut))) << cut;
  }
}

TEST(RunAsTest, UserNamesAndNumbersResolveAndBadOnesAreNamed) {
  constexpr uid_t kUntouched = 4321;
  // text, uid, part of the error text (empty: resolved)
  std::vector<std::tuple<std::string, uid_t, std::string>> cases = {
      {"424242", 424242, ""},
      {"4294967294", 4294967294u, ""},
      {"no-such-user-here", kUntouched, "unknown user 'no-such-user-here'"},
      {"4294967295", kUntouched, "'4294967295' out of range"},
      {"99999999999999999999", kUntouched, "out of range"},
      {"", kUntouched, "empty"}};
  setpwent();
  for (const passwd* pw = getpwent(); pw != nullptr; pw = getpwent()) {
    cases.emplace_back(pw->pw_name, pw->pw_uid, "");
    cases.emplace_back(std::to_string(pw->pw_uid), pw->pw_uid, "");
  }
  endpwent();
  ASSERT_GT(cases.size(), 10u);
  for (const auto& [text, expected, part] : cases) {
    uid_t uid = kUntouched;
    std::string error;
    EXPECT_EQ(RunAs::ResolveUser(text, uid, error), part.empty()) << text;
    EXPECT_EQ(uid, expected) << text;
    EXPECT_NE(error.find(part), std::string::npos) << text << ": " << error;
  }
}

// The registered start command gives back exactly its words through /usr/bin/sh, every byte
// but NUL included, and never holds the text that ends an order block.
TEST(ShellQuoteTest, ShellGivesBackEveryWordAndNoEndMarkerSurvives) {
  std::vector<std::vector<std::string>> cases = {{"it's", "", " lead", "backend.exe", "THE END;",
                                                  "weekend.", "'end.'", "en", "d.", "end,end.end;"},
                                                 {std::string()}};
  for (int c = 1; c < 256; ++c) {
    cases[1][0] += static_cast<char>(c);
    cases[1].emplace_back(1, static_cast<char>(c));
    cases[1].emplace_back(2, static_cast<char>(c));
  }
  static const std::regex kEndMarker("[eE][nN][dD][.;,]");
  for (const auto& words : cases) {
    const std::string line = ShellQuote::Line(words);
    EXPECT_FALSE(std::regex_search(line, kEndMarker)) << line;
    EXPECT_EQ(words, ShellWordList(line)) << line;
  }
  EXPECT_EQ("http.server", ShellQuote::Word("http.server"));
  EXPECT_EQ("'sleep 3; exit 3'", ShellQuote::Word("sleep 3; exit 3"));
}

}  // namespace
