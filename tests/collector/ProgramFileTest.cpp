#include <regex>

#include "ProgramFile.h"
#include "ShellWords.h"
#include "TestCommon.h"

namespace {

using Words = std::vector<std::string>;

// Reads text as /p/web.conf for a daemon running as daemonUid; the error, "" when it is good.
std::string ParseError(const std::string& text, uid_t daemonUid = 0,
                       ProgramDefinition* d = nullptr) {
  ProgramDefinition scratch;
  std::string error;
  return ProgramFile::Parse("web", "/p/web.conf", text, daemonUid, d ? d : &scratch, &error)
             ? std::string()
             : error;
}

// The words of the wrapper's command line, between bars: every setting but the user.
std::string RunWords(const ProgramDefinition& d) {
  std::string words;
  for (const std::string& word : ShellWordList(ProgramFile::RunLine(
           d, "/usr/bin/vigilctl", "/run/v.sock", 3003, "/l/web/output.log"))) {
    words += (words.empty() ? "" : "|") + word;
  }
  return words;
}

TEST(ProgramFileTest, EveryKeyAndEveryDefaultReachTheWrapperAsOneWordEach) {
  ProgramDefinition d;
  ASSERT_EQ(ParseError("# the web server\n"
                       "command = /bin/srv '/srv/a b' \"x\\\"y\" c\\ d 'it''s' \"end.\"\n"
                       "  user = root  \ndirectory = /tmp\nenv.MODE = production = yes\n"
                       "env.EMPTY =\ncheck = http://127.0.0.1:8080/health\ncheck-every = 7\n"
                       "check-timeout = 3\ncheck-failures = 4\ncheck-grace = 0\nwdfreq = 30\n"
                       "maxwset = 1000\nminwset = 10\nwsetincr = 50\nnomwset = 100\n"
                       "maxerrors = 9\nrestart = always\noutput = log\nlog-size = 4096\n"
                       "log-keep = 0\r\n",
                       0, &d),
            "");
  EXPECT_EQ(d.uid, 0u);
  EXPECT_EQ(RunWords(d),
            "/usr/bin/vigilctl|run|--port|3003|--socket|/run/v.sock|--name|web|--restart|"
            "always|--chdir|/tmp|--wdfreq|30|--maxwset|1000|--minwset|10|--wsetincr|50|"
            "--nomwset|100|--maxerrors|9|--env|MODE=production = yes|--env|EMPTY=|--check|"
            "http://127.0.0.1:8080/health|--check-every|7|--check-timeout|3|--check-failures|"
            "4|--check-grace|0|--output|log|--log|/l/web/output.log|--log-size|4096|"
            "--log-keep|0|--|/bin/srv|/srv/a b|x\"y|c d|its|end.");
  // The daemon's order parser ends a block at "end." anywhere in a line.
  const std::string line = ProgramFile::RunLine(d, "v", "s", 1, "l");
  EXPECT_EQ(line.find("end."), std::string::npos) << line;

  ASSERT_EQ(ParseError("command=sleep 9\ncheck=tcp://h:1", 1000, &d), "");
  EXPECT_EQ(d.uid, 1000u);
  EXPECT_EQ(d.user, "");
  EXPECT_EQ(RunWords(d),
            "/usr/bin/vigilctl|run|--port|3003|--socket|/run/v.sock|--name|web|--restart|"
            "on-failure|--chdir|/|--check|tcp://h:1|--check-every|5|--check-timeout|2|"
            "--check-failures|3|--check-grace|10|--output|log|--log|/l/web/output.log|"
            "--log-size|10485760|--log-keep|5|--|sleep|9");
}

TEST(ProgramFileTest, EveryBadLineIsNamedWithItsFileLineAndKey) {
  const std::pair<const char*, const char*> cases[] = {
      {"# nothing\n", "line 1, key 'command': missing"},
      {"command =\n", "key 'command': no program given"},
      {"command = a 'b\n", "key 'command': a single quote is not closed"},
      {"command = a \"b\n", "key 'command': a double quote is not closed"},
      {"command = a b\\\n", "key 'command': a backslash ends the line"},
      {"command = a\ncommand = b\n", "line 2, key 'command': given twice (first on line 1)"},
      {"command = a\nuser = no-such-user-here\n", "line 2, key 'user'"},
      {"command = a\ndirectory = /no/such/dir\n", "line 2, key 'directory': /no/such/dir"},
      {"command = a\ndirectory = relative\n",
       "key 'directory': the directory must be an absolute path"},
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
  for (const auto& [text, message] : cases) {
    const std::string error = ParseError(text);
    EXPECT_NE(error.find(message), std::string::npos) << text << " gave: " << error;
    EXPECT_EQ(error.rfind("program file /p/web.conf, line ", 0), 0u) << error;
  }
  // A daemon not running as root may name its own user, and no other.
  EXPECT_EQ(ParseError("command = a\nuser = 1000\n", 1000), "");
  EXPECT_EQ(ParseError("command = a\nuser = 65534\n", 1000),
            "program file /p/web.conf, line 2, key 'user': only a daemon running as root may run "
            "a program as another user");
}

// An unknown key is refused with the list of keys, the list the manual page gives.
TEST(ProgramFileTest, TheManualPageAndTheReaderAgreeOnTheKeys) {
  std::ifstream page(PROGRAMS_MANUAL_PAGE);
  ASSERT_TRUE(page) << PROGRAMS_MANUAL_PAGE;
  Words listed;
  for (std::string line; std::getline(page, line);) {
    if (line.rfind(".It Ic ", 0) != 0) {
      continue;
    }
    std::istringstream words(std::regex_replace(line.substr(7), std::regex(" Ns Ar | "), ""));
    for (std::string key; std::getline(words, key, ',');) {
      listed.push_back(key);
    }
  }
  EXPECT_EQ(listed, ProgramFile::Keys());
  std::string known;
  for (const std::string& key : listed) {
    known += (known.empty() ? "" : ", ") + key;
    const std::string error =
        ParseError(key == "command" ? "command = 1\n" : "command = a\n" + key + " = 1\n");
    EXPECT_TRUE(error.find("unknown key") == std::string::npos &&
                error.find("not read") == std::string::npos)
        << key << ": " << error;
  }
  EXPECT_EQ(
      ParseError("command = a\ncolour = red\n"),
      "program file /p/web.conf, line 2, key 'colour': unknown key (the keys are " + known + ")");
}

TEST(ProgramFileTest, CommandWordsComeOutAsTheShellWouldSplitThem) {
  const std::pair<const char*, Words> cases[] = {
      {"a b  c", {"a", "b", "c"}},
      {"'a  b' \"c $HOME\" d\\$e", {"a  b", "c $HOME", "d$e"}},
      {"a\\'b \"x\\\\y\" 'q\"'", {"a'b", "x\\y", "q\""}},
      {"x # a comment", {"x"}},
      {"\"\" ''", {"", ""}},
      {"a#b *.c ~", {"a#b", "*.c", "~"}},
      {"\"a\\nb\"", {"a\\nb"}},
  };
  for (const auto& c : cases) {
    Words words;
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
  dir.WriteFile("bad.conf", "command = sleep 5\nrestart = sometimes\n");
  dir.WriteFile("notes.txt", "not a program\n");
  dir.WriteFile(".hidden.conf", "command = x\n");
  dir.WriteFile("old.conf.dpkg-old", "command = x\n");
  dir.WriteFile("has space.conf", "command = x\n");
  dir.WriteFile("big.conf", "command = x\n#" + std::string(ProgramFile::kMaxFileBytes, 'x'));
  mkdir(dir.Join("sub.conf").c_str(), 0755);
  std::vector<std::string> errors;
  const auto programs = ProgramFile::ReadDirectory(dir.path(), geteuid(), &errors);
  ASSERT_EQ(programs.size(), 1u);
  EXPECT_EQ(programs.at("good").file, dir.Join("good.conf"));
  std::sort(errors.begin(), errors.end());
  const std::string file = "program file " + dir.path() + "/";
  EXPECT_EQ(errors, (Words{file + "bad.conf, line 2, key 'restart': 'sometimes' is not "
                                  "on-failure, always or never",
                           file + "big.conf: larger than " +
                               std::to_string(ProgramFile::kMaxFileBytes) + " bytes",
                           file + "has space.conf: the name 'has space' is not letters, digits, "
                                  "'.', '_' and '-' (at most 64, not starting with '.' or '-')"}));
  errors.clear();
  EXPECT_TRUE(ProgramFile::ReadDirectory(dir.Join("absent"), geteuid(), &errors).empty());
  EXPECT_TRUE(errors.empty());
}

// What a program file says may run as root, so another user must not be able to write it.
TEST(ProgramFileTest, OnlyFilesNoOtherUserCanWriteDefinePrograms) {
  const std::string file = "program file {dir}/programs/web.conf: ",
                    directory = "program directory {dir}/programs: ",
                    writable = "writable by group or others",
                    owned = "owned by uid 65534, neither root nor the daemon's user",
                    unread = "; no program file in it is read";
  const struct {
    const char* what;
    const char* path;     // made that mode; with linked, a new directory web.conf moves into
    mode_t mode;          // 0: given to another user instead, which needs root
    bool linked;          // programs/web.conf becomes a link to the moved file
    std::string refusal;  // "": web is read
  } setups[] = {
      {"group-writable file", "programs/web.conf", 0664, false, file + writable},
      {"world-writable file", "programs/web.conf", 0646, false, file + writable},
      {"another user's file", "programs/web.conf", 0, false, file + owned},
      {"link into a safe directory", "safe", 0755, true, ""},
      {"link into a directory anyone writes", "open", 01777, true,
       file + "links into {dir}/open, " + writable},
      {"directory anyone writes", "programs", 0777, false, directory + writable + unread},
      {"another user's directory", "programs", 0, false, directory + owned + unread},
  };
  for (const auto& setup : setups) {
    SCOPED_TRACE(setup.what);
    if (setup.mode == 0 && geteuid() != 0) {
      printf("[ SKIPPED  ] %s: needs root to give files away\n", setup.what);
      continue;
    }
    TempDir dir;
    mkdir(dir.Join("programs").c_str(), 0755);
    dir.WriteFile("programs/web.conf", "command = sleep 5\n");
    chmod(dir.Join("programs/web.conf").c_str(), 0644);
    const std::string path = dir.Join(setup.path), web = dir.Join("programs/web.conf");
    if (setup.linked) {
      mkdir(path.c_str(), 0755);
      rename(web.c_str(), (path + "/web.conf").c_str());
      (void)!symlink((path + "/web.conf").c_str(), web.c_str());
    }
    if (setup.mode == 0) {
      (void)!chown(path.c_str(), 65534, 0);
    } else {
      chmod(path.c_str(), setup.mode);
    }
    std::vector<std::string> errors;
    const auto programs = ProgramFile::ReadDirectory(dir.Join("programs"), geteuid(), &errors);
    const std::string refusal =
        std::regex_replace(setup.refusal, std::regex("\\{dir\\}"), dir.path());
    EXPECT_EQ(programs.size(), refusal.empty() ? 1u : 0u);
    EXPECT_EQ(errors, refusal.empty() ? Words{} : Words{refusal});
  }
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
