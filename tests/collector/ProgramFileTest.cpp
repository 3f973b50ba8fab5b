#include "ProgramFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "ShellWords.h"
#include "TempDir.h"

namespace {

struct Case {
  const char* text;
  const char* message;  // empty: the file is good
};

std::string ParseError(const std::string& text, uid_t daemonUid = 0) {
  ProgramDefinition definition;
  std::string error;
  return ProgramFile::Parse("web", "/p/web.conf", text, daemonUid, &definition, &error)
             ? std::string()
             : error;
}

TEST(ProgramFileTest, EveryKeyIsReadIntoTheDefinition) {
  ProgramDefinition d;
  std::string error;
  ASSERT_TRUE(ProgramFile::Parse("web", "/p/web.conf",
                                 "# the web server\n"
                                 "command = /usr/bin/server --root '/srv/a b' \"x\\\"y\" c\\ d\n"
                                 "  user = root  \n"
                                 "directory = /tmp\n"
                                 "env.MODE = production = yes\n"
                                 "env.EMPTY =\n"
                                 "check = http://127.0.0.1:8080/health\n"
                                 "check-every = 7\ncheck-timeout = 3\ncheck-failures = 4\n"
                                 "check-grace = 0\n"
                                 "wdfreq = 30\nmaxwset = 1000\nminwset = 10\nwsetincr = 50\n"
                                 "nomwset = 100\nmaxerrors = 9\n"
                                 "restart = always\noutput = null\nlog-size = 4096\n"
                                 "log-keep = 0\r\n",
                                 0, &d, &error))
      << error;
  EXPECT_EQ(d.name, "web");
  EXPECT_EQ(d.command, (std::vector<std::string>{"/usr/bin/server", "--root", "/srv/a b",
                                                 "x\"y", "c d"}));
  EXPECT_EQ(d.uid, 0u);
  EXPECT_EQ(d.directory, "/tmp");
  ASSERT_EQ(d.env.size(), 2u);
  EXPECT_EQ(d.env[0], (std::pair<std::string, std::string>{"MODE", "production = yes"}));
  EXPECT_EQ(d.env[1], (std::pair<std::string, std::string>{"EMPTY", ""}));
  EXPECT_EQ(d.check, "http://127.0.0.1:8080/health");
  EXPECT_EQ(std::vector<int>({d.checkEvery, d.checkTimeout, d.checkFailures, d.checkGrace}),
            std::vector<int>({7, 3, 4, 0}));
  EXPECT_EQ(std::vector<int>({d.wdfreq, d.maxwset, d.minwset, d.wsetincr, d.nomwset, d.maxerrors}),
            std::vector<int>({30, 1000, 10, 50, 100, 9}));
  EXPECT_EQ(d.restart, "always");
  EXPECT_EQ(d.output, "null");
  EXPECT_EQ(d.logSize, 4096);
  EXPECT_EQ(d.logKeep, 0);

  // The defaults.
  ASSERT_TRUE(ProgramFile::Parse("a", "/p/a.conf", "command=sleep 9", 1000, &d, &error));
  EXPECT_EQ(d.uid, 1000u);
  EXPECT_EQ(d.user, "");
  EXPECT_EQ(d.directory, "/");
  EXPECT_EQ(d.restart, "on-failure");
  EXPECT_EQ(d.output, "log");
  EXPECT_EQ(d.logSize, 10L * 1024 * 1024);
  EXPECT_EQ(d.logKeep, 5);
  EXPECT_EQ(d.wdfreq, -1);
}

TEST(ProgramFileTest, EveryBadLineIsNamedWithItsFileLineAndKey) {
  const Case cases[] = {
      {"command = a\ncolour = red\n", "/p/web.conf, line 2, key 'colour': unknown key"},
      {"# nothing\n", "line 1, key 'command': missing"},
      {"command =\n", "key 'command': no program given"},
      {"command = a 'b\n", "key 'command': a single quote is not closed"},
      {"command = a \"b\n", "key 'command': a double quote is not closed"},
      {"command = a b\\\n", "key 'command': a backslash ends the line"},
      {"command = a\ncommand = b\n", "line 2, key 'command': given twice (first on line 1)"},
      {"command = a\nuser = no-such-user-here\n", "line 2, key 'user'"},
      {"command = a\ndirectory = /no/such/dir\n", "line 2, key 'directory': /no/such/dir"},
      {"command = a\ndirectory = relative\n", "key 'directory': the directory must be an absolute path"},
      {"command = a\ndirectory = /etc/passwd\n", "key 'directory': /etc/passwd is not a directory"},
      {"command = a\nwdfreq = 0\n", "key 'wdfreq': '0' is not a whole number from 1"},
      {"command = a\nmaxwset = -5\n", "key 'maxwset'"},
      {"command = a\nmaxwset = 12kB\n", "key 'maxwset'"},
      {"command = a\ncheck-every = 86401\n", "key 'check-every'"},
      {"command = a\nlog-size = 100\n", "key 'log-size'"},
      {"command = a\nlog-keep = 1001\n", "key 'log-keep'"},
      {"command = a\nrestart = sometimes\n", "key 'restart': 'sometimes' is not on-failure"},
      {"command = a\noutput = file\n", "key 'output'"},
      {"command = a\ncheck = ftp://x/\n", "key 'check'"},
      {"command = a\ncheck-grace = 5\n", "line 2, key 'check-grace': needs check"},
      {"command = a\nminwset = 5\n", "line 2, key 'minwset': minwset, wsetincr and nomwset"},
      {"command = a\nenv.1X = y\n", "key 'env.1X': a variable name"},
      {"command = a\nenv.X = y\nenv.X = z\n", "line 3, key 'env.X': given twice"},
      {"command = a\njust words\n", "line 2, key 'just words': not a 'key = value' line"},
      {"command = a\nenv.X = a\x01z\n", "key 'env.X': the value holds a control character"},
  };
  for (const Case& c : cases) {
    const std::string error = ParseError(c.text);
    EXPECT_NE(error.find(c.message), std::string::npos) << c.text << " gave: " << error;
    EXPECT_EQ(error.rfind("program file /p/web.conf, line ", 0), 0u) << error;
  }
}

TEST(ProgramFileTest, OnlyARootDaemonNamesAnotherUser) {
  EXPECT_EQ(ParseError("command = a\nuser = 65534\n", 0), "");
  EXPECT_NE(ParseError("command = a\nuser = 65534\n", 1000).find("only a daemon running as root"),
            std::string::npos);
  EXPECT_EQ(ParseError("command = a\nuser = 1000\n", 1000), "");
}

TEST(ProgramFileTest, CommandWordsComeOutAsTheShellWouldSplitThem) {
  const std::pair<const char*, std::vector<std::string>> cases[] = {
      {"a b  c", {"a", "b", "c"}},
      {"'a  b' \"c $HOME\" d\\$e", {"a  b", "c $HOME", "d$e"}},
      {"a\\'b \"x\\\\y\" 'q\"'", {"a'b", "x\\y", "q\""}},
      {"x # a comment", {"x"}},
      {"\"\" ''", {"", ""}},
      {"a#b *.c ~", {"a#b", "*.c", "~"}},
      {"\"a\\nb\"", {"a\\nb"}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> words;
    std::string error;
    ASSERT_TRUE(ProgramFile::SplitWords(c.first, &words, &error)) << c.first;
    EXPECT_EQ(words, c.second) << c.first;
    // sh agrees wherever it would not expand anything.
    if (std::string(c.first).find_first_of("$*~#") == std::string::npos) {
      EXPECT_EQ(ShellWordList(c.first), c.second) << c.first;
    }
  }
}

TEST(ProgramFileTest, DirectoryReadingSkipsOtherFilesAndNamesBadOnes) {
  TempDir dir;
  dir.WriteFile("good.conf", "command = sleep 5\n");
  dir.WriteFile("bad.conf", "command = sleep 5\nfrobnicate = yes\n");
  dir.WriteFile("notes.txt", "not a program\n");
  dir.WriteFile(".hidden.conf", "command = x\n");
  dir.WriteFile("old.conf.dpkg-old", "command = x\n");
  dir.WriteFile("has space.conf", "command = x\n");
  dir.WriteFile("big.conf", "command = x\n#" + std::string(ProgramFile::kMaxFileBytes, 'x'));
  mkdir(dir.Join("sub.conf").c_str(), 0755);
  std::vector<std::string> errors;
  const auto programs = ProgramFile::ReadDirectory(dir.path(), geteuid(), &errors);
  ASSERT_EQ(programs.size(), 1u);
  EXPECT_EQ(programs.begin()->first, "good");
  EXPECT_EQ(programs.begin()->second.file, dir.Join("good.conf"));
  ASSERT_EQ(errors.size(), 3u);
  std::string all;
  for (const std::string& error : errors) {
    all += error + "\n";
  }
  EXPECT_NE(all.find(dir.Join("bad.conf") + ", line 2, key 'frobnicate': unknown key"),
            std::string::npos)
      << all;
  EXPECT_NE(all.find("the name 'has space'"), std::string::npos) << all;
  EXPECT_NE(all.find(dir.Join("big.conf") + ": larger than"), std::string::npos) << all;

  errors.clear();
  EXPECT_TRUE(ProgramFile::ReadDirectory(dir.Join("absent"), geteuid(), &errors).empty());
  EXPECT_TRUE(errors.empty());
}

// What a program file says may run as root: a file, a link's destination or
// a directory that another user could write is refused with its reason.
TEST(ProgramFileTest, OnlyFilesNoOtherUserCanWriteDefinePrograms) {
  constexpr uid_t kOther = 65534;
  const bool root = geteuid() == 0;
  struct Setup {
    const char* what;
    std::function<void(const TempDir&)> arrange;  // programs/ holds a good web.conf already
    const char* refusal;                          // "": web is read
    bool needsRoot;
  };
  const Setup setups[] = {
      {"a plain file", [](const TempDir&) {}, "", false},
      {"group-writable file",
       [](const TempDir& d) { chmod(d.Join("programs/web.conf").c_str(), 0664); },
       "program file {dir}/programs/web.conf: writable by group or others", false},
      {"world-writable file",
       [](const TempDir& d) { chmod(d.Join("programs/web.conf").c_str(), 0646); },
       "program file {dir}/programs/web.conf: writable by group or others", false},
      {"another user's file",
       [](const TempDir& d) { (void)!chown(d.Join("programs/web.conf").c_str(), kOther, 0); },
       "program file {dir}/programs/web.conf: owned by uid 65534, neither root nor the "
       "daemon's user",
       true},
      {"link into a safe directory",
       [](const TempDir& d) {
         mkdir(d.Join("safe").c_str(), 0755);
         rename(d.Join("programs/web.conf").c_str(), d.Join("safe/web.conf").c_str());
         (void)!symlink(d.Join("safe/web.conf").c_str(), d.Join("programs/web.conf").c_str());
       },
       "", false},
      {"link into a directory anyone writes",
       [](const TempDir& d) {
         mkdir(d.Join("open").c_str(), 0777);
         chmod(d.Join("open").c_str(), 01777);
         rename(d.Join("programs/web.conf").c_str(), d.Join("open/web.conf").c_str());
         (void)!symlink(d.Join("open/web.conf").c_str(), d.Join("programs/web.conf").c_str());
       },
       "program file {dir}/programs/web.conf: links into {dir}/open, writable by group or "
       "others",
       false},
      {"directory anyone writes",
       [](const TempDir& d) { chmod(d.Join("programs").c_str(), 0777); },
       "program directory {dir}/programs: writable by group or others; no program file in it "
       "is read",
       false},
      {"another user's directory",
       [](const TempDir& d) { (void)!chown(d.Join("programs").c_str(), kOther, 0); },
       "program directory {dir}/programs: owned by uid 65534, neither root nor the daemon's "
       "user; no program file in it is read",
       true},
  };
  for (const Setup& setup : setups) {
    SCOPED_TRACE(setup.what);
    if (setup.needsRoot && !root) {
      std::cout << "[ SKIPPED  ] " << setup.what << ": needs root to give files away\n";
      continue;
    }
    TempDir dir;
    mkdir(dir.Join("programs").c_str(), 0755);
    dir.WriteFile("programs/web.conf", "command = sleep 5\n");
    chmod(dir.Join("programs/web.conf").c_str(), 0644);
    setup.arrange(dir);
    std::vector<std::string> errors;
    const auto programs = ProgramFile::ReadDirectory(dir.Join("programs"), geteuid(), &errors);
    std::string refusal = setup.refusal;
    for (size_t at; (at = refusal.find("{dir}")) != std::string::npos;) {
      refusal.replace(at, 5, dir.path());
    }
    EXPECT_EQ(programs.size(), refusal.empty() ? 1u : 0u);
    EXPECT_EQ(errors, refusal.empty() ? std::vector<std::string>{}
                                      : std::vector<std::string>{refusal});
  }
}

TEST(ProgramFileTest, RunLineGivesTheWrapperEverySettingAsOneWordEach) {
  ProgramDefinition d;
  std::string error;
  ASSERT_TRUE(ProgramFile::Parse("web", "/p/web.conf",
                                 "command = /bin/echo 'it''s' \"end.\"\ndirectory = /tmp\n"
                                 "env.A = x y\nwdfreq = 4\ncheck = tcp://h:1\nlog-keep = 2\n",
                                 0, &d, &error))
      << error;
  const std::string line =
      ProgramFile::RunLine(d, "/usr/bin/vigilctl", "/run/v.sock", 3003, "/l/web/output.log");
  EXPECT_EQ(ShellWordList(line),
            (std::vector<std::string>{
                "/usr/bin/vigilctl", "run", "--port", "3003", "--socket", "/run/v.sock", "--name",
                "web", "--restart", "on-failure", "--chdir", "/tmp", "--wdfreq", "4", "--env",
                "A=x y", "--check", "tcp://h:1", "--check-every", "5", "--check-timeout", "2",
                "--check-failures", "3", "--check-grace", "10", "--output", "log", "--log",
                "/l/web/output.log", "--log-size", "10485760", "--log-keep", "2", "--",
                "/bin/echo", "its", "end."}));
  // The daemon's order parser ends a block at "end." anywhere in a line.
  EXPECT_EQ(line.find("end."), std::string::npos) << line;
}

TEST(ProgramFileTest, SameAsTellsAChangedDefinitionApart) {
  ProgramDefinition a, b;
  std::string error;
  ASSERT_TRUE(ProgramFile::Parse("p", "/x/p.conf", "command = a b\n", 0, &a, &error));
  ASSERT_TRUE(ProgramFile::Parse("p", "/y/p.conf", "# moved\ncommand = a   b\n", 0, &b, &error));
  EXPECT_TRUE(a.SameAs(b));
  for (const char* changed : {"command = a c\n", "command = a b\nenv.X = 1\n",
                              "command = a b\nlog-keep = 1\n", "command = a b\noutput = null\n"}) {
    ASSERT_TRUE(ProgramFile::Parse("p", "/x/p.conf", changed, 0, &b, &error));
    EXPECT_FALSE(a.SameAs(b)) << changed;
  }
}

}  // namespace
