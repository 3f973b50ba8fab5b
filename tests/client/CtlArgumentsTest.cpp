// vigilctl's command line: what is accepted, what is a usage error, and the
// port's sources in order.
#include "CtlParse.h"
#include "TestCommon.h"

using std::string_literals::operator""s;

namespace {

// The arguments of a command line whose words hold no blank, which must be accepted.
CtlArguments Accepted(const std::string& line, const char* envPort = nullptr) {
  SCOPED_TRACE(line);
  std::vector<std::string> words;
  std::istringstream in(line);
  for (std::string word; in >> word;) {
    words.push_back(word);
  }
  return Parsed(words, envPort);
}

}  // namespace

TEST(CtlArgumentsTest, EveryVerbReadsItsOptionsRunItsChecksEnvironmentAndDirectory) {
  const CtlArguments w = Accepted(
      "watch --pid 42 --name=db --start start-db --stop kill-42 --wdfreq 10 --maxwset 900 "
      "--minwset 100 --wsetincr 150 --maxerrors 3 --host 10.0.0.1");
  EXPECT_EQ(std::make_tuple(CtlArguments::kWatch, 42, "db"s, "start-db"s, "kill-42"s, 10, 900, 100,
                            150, 3, "10.0.0.1"s, 3003),
            std::make_tuple(w.verb, w.pid, w.name, w.start, w.stop, w.wdfreq, w.maxwset, w.minwset,
                            w.wsetincr, w.maxerrors, w.host, w.port));

  setenv("VIGILCTL_TEST_SET", "from the caller $x 'q'", 1);
  const CtlArguments r = Accepted(
      "run --wdfreq 2 --restart always --check http://[::1]:8080/health?x=1 --check-every 7 "
      "--check-timeout=1 --check-failures 4 --check-grace 0 --env B=two=2 "
      "--env VIGILCTL_TEST_SET --env E= --chdir /srv/web sh -c exit",
      "4004");
  EXPECT_EQ(std::make_tuple(4004, 2, CtlArguments::kAlways, "http://[::1]:8080/health?x=1"s, 7, 1,
                            4, 0, "/srv/web"s),
            std::make_tuple(r.port, r.wdfreq, r.restart, r.check, r.checkEvery, r.checkTimeout,
                            r.checkFailures, r.checkGrace, r.chdir));
  EXPECT_EQ((std::vector<std::string>{"sh", "-c", "exit"}), r.command);
  EXPECT_EQ((std::vector<std::string>{"B=two=2", "VIGILCTL_TEST_SET=from the caller $x 'q'", "E="}),
            r.env);
  EXPECT_EQ(CtlArguments::kNever, Accepted("run --restart never -- x").restart);
  // After "--" everything is the program's, options included.
  const CtlArguments dashes = Accepted("run --port 5005 -- prog --help --port 1", "4004");
  EXPECT_EQ(std::make_tuple(false, 5005), std::make_tuple(dashes.help, dashes.port));
  EXPECT_EQ((std::vector<std::string>{"prog", "--help", "--port", "1"}), dashes.command);
  const CtlArguments logged = Accepted("run --log /l/o.log --log-keep 0 -- true");
  EXPECT_EQ(std::make_tuple("log"s, "/l/o.log"s, 0, 10 * 1024 * 1024),
            std::make_tuple(logged.output, logged.logFile, logged.logKeep, logged.logSize));

  const CtlArguments status = Accepted("status --json --status-file /tmp/s.json");
  EXPECT_EQ(std::make_tuple(true, "/tmp/s.json"s), std::make_tuple(status.json, status.statusFile));
  EXPECT_EQ("web", Accepted("status --check web").statusCheck);
  const CtlArguments logs = Accepted("logs web -n 3 -f --log-dir /l");
  EXPECT_EQ(std::make_tuple(CtlArguments::kLogs, "web"s, 3, true, "/l"s),
            std::make_tuple(logs.verb, logs.name, logs.lines, logs.follow, logs.logDir));
  const CtlArguments reset = Accepted("reset --status-file /s.json web --port 4000");
  EXPECT_EQ(std::make_tuple(CtlArguments::kReset, "web"s, "/s.json"s, 4000),
            std::make_tuple(reset.verb, reset.name, reset.statusFile, reset.port));
  EXPECT_EQ("--odd", Accepted("reset -- --odd").name);

  // The local socket: under TLMHOME as the daemon makes it, else where the packaged unit listens.
  EXPECT_EQ("/h/run/vigild.sock", CtlArguments::DefaultSocket("/h/"));
  EXPECT_EQ(CtlArguments::DefaultSocket("/h"), CtlArguments::DefaultSocket("/h/"));
  EXPECT_EQ("/run/vigild/vigild.sock", CtlArguments::DefaultSocket(""));
  EXPECT_EQ("/run/vigild/vigild.sock", CtlArguments::DefaultSocket(nullptr));

  EXPECT_TRUE(Accepted("--help").help);
  // A bad value met before --help is still an error.
  EXPECT_EQ("invalid value 'x' for --pid", Parse({"watch", "--pid", "x", "--help"}));
}

TEST(CtlArgumentsTest, MistakesAreRefusedWithTheirCauseBeforeAnythingStarts) {
  unsetenv("VIGILCTL_TEST_UNSET");
  const std::pair<std::vector<std::string>, const char*> usage[] = {
      {{}, "no verb given"},
      {{"respawn"}, "unknown verb 'respawn'"},
      {{"restart"}, "no program name given to restart"},
      {{"stop", "a", "b"}, "unexpected argument 'b'"},
      {{"logs", "a", "-n", "x"},
       "invalid value 'x' for --lines: a whole number of lines from 0 to 1000000"},
      {{"logs", "a", "-f=1"}, "unexpected argument '-f=1'"},
      {{"logs", "a", "--follow=yes"}, "--follow takes no value"},
      {{"reload", "--status-file", "f"}, "unknown option '--status-file'"},
      {{"run", "--output", "file", "--", "true"}, "invalid value 'file' for --output"},
      {{"run", "--output", "log", "--", "true"}, "--log and --output log go together"},
      {{"run", "--output", "null", "--log", "f", "--", "true"},
       "--log and --output log go together"},
      {{"run", "--log-keep", "2", "--", "true"}, "--log-keep needs --log"},
      {{"run", "--log", "f", "--log-size", "100", "--", "true"},
       "invalid value '100' for --log-size: a whole number of bytes from 4096 to 2147483647"},
      {{"watch", "--pid", "5", "--name", "x", "--start", "s"}, "missing --stop"},
      {{"beat"}, "missing --pid"},
      {{"forget", "--pid", "0"}, "invalid value '0' for --pid"},
      {{"forget", "--pid", "12x"}, "invalid value '12x' for --pid"},
      {{"forget", "--pid", "99999999999"}, "invalid value '99999999999' for --pid"},
      {{"forget", "--pid", "5", "--port", "65536"}, "invalid value '65536' for --port"},
      {{"forget", "--pid"}, "--pid needs a value"},
      {{"forget", "--pid", "5", "--pid", "6"}, "--pid given twice"},
      {{"forget", "--pid", "5", "--name", "x"}, "unknown option '--name'"},
      {{"beat", "--pid", "5", "extra"}, "unexpected argument 'extra'"},
      {{"status", "--json=yes"}, "--json takes no value"},
      {{"run", "--name", "x"}, "no program given to run"},
      {{"run", "--restart", "sometimes", "--", "true"}, "invalid value 'sometimes' for --restart"},
      {{"run", "--minwset", "10", "--", "true"}, "--minwset, --wsetincr and --nomwset go together"},
      {{"run", "--wdfreq", "0", "--", "true"}, "--wdfreq must be 1 or more for run"},
      {{"status", "--json", "--check", "web"}, "--json and --check do not go together"},
      {{"status", "--check", ""}, "--check needs a program name"},
      {{"status", "--check-every", "5"}, "unknown option '--check-every'"},
      {{"watch", "--env", "A=1"}, "unknown option '--env'"},
      {{"reset"}, "no program name given to reset"},
      {{"reset", ""}, "unexpected argument ''"},
      {{"reset", "--pid", "3", "web"}, "unknown option '--pid'"},
      {{"run", "--check", "tcp://h:1", "--check", "tcp://h:2", "--", "true"},
       "--check given twice"},
      {{"run", "--check-every", "5", "--", "true"}, "--check-every needs --check"},
      {{"run", "--check-grace", "0", "--", "true"}, "--check-grace needs --check"},
      {{"run", "--env", "A=1", "--env", "A=2", "--", "true"}, "--env A given twice"},
      {{"run", "--env", "A=1", "--env", "A", "--", "true"}, "--env A given twice"},
      {{"run", "--env", "A=a\nb", "--", "true"},
       "--env A: the value holds a line feed or carriage return"},
      {{"run", "--env", "A=a\rb", "--", "true"},
       "--env A: the value holds a line feed or carriage return"},
      {{"run", "--env", "VIGILCTL_TEST_UNSET", "--", "true"},
       "--env VIGILCTL_TEST_UNSET: VIGILCTL_TEST_UNSET is not set here"},
      {{"run", "--chdir", "", "--", "true"}, "--chdir needs a directory"},
      {{"run", "--chdir", "/a", "--chdir", "/b", "--", "true"}, "--chdir given twice"},
  };
  for (const auto& [words, error] : usage) {
    EXPECT_EQ(error, Parse(words));
  }
  for (const char* port : {"abc", "0", "65536", "-1", "3003x"}) {
    EXPECT_EQ(std::string("invalid TLM_SNMP_COLL_VIGILDPORT '") + port + "'",
              Parse({"status"}, port));
  }
  const auto refused = [](std::vector<std::string> words) {
    words.insert(words.begin(), "run");
    words.insert(words.end(), {"--", "true"});
    return Parse(words);
  };
  const std::pair<std::string, std::vector<std::string>> checks[] = {
      {"not http://HOST:PORT/PATH, tcp://HOST:PORT or exec:COMMAND", {"ftp://h/", "HTTP://h:80/"}},
      {"no host", {"http://", "http://:80/"}},
      {"no port", {"tcp://h"}},
      {"tcp:// takes no path", {"tcp://h:22/x"}},
      {"the host holds '@' (names and IPv4 addresses as they are, IPv6 in brackets)",
       {"http://u@h:80/"}},
      {"an IPv6 address goes in brackets", {"http://::1:80/"}},
      {"no ']' after the IPv6 address", {"http://[::1:80/"}},
      {"not an IPv6 address in brackets", {"http://[fe80::1%eth0]:80/"}},
      {"unexpected text after the IPv6 address", {"http://[::1]x/"}},
      {"the path holds a blank, control or non-ASCII character",
       {"http://h:80/a b", "http://h:80/a\r\nX: y"}},
      {"exec: needs a command", {"exec:", "exec: \t"}},
      {"the command holds a line feed, carriage return or NUL byte", {"exec:true\nBEGINMGMT"}},
      {"longer than 4096 bytes", {"exec:" + std::string(5000, 'x')}},
  };
  for (const auto& [why, urls] : checks) {
    for (const std::string& url : urls) {
      EXPECT_EQ("invalid --check '" + url + "': " + why, refused({"--check", url}));
    }
  }
  for (const std::string port : {"0", "65536", "-1", "8o", ""}) {
    const std::string url = "http://h:" + port + "/";
    EXPECT_EQ("invalid --check '" + url + "': port '" + port + "' is not a number from 1 to 65535",
              refused({"--check", url}));
  }
  const std::tuple<const char*, const char*, std::vector<const char*>> numbers[] = {
      {"--check-every", "seconds from 1 to 86400", {"0", "-5", "1.5", "86401"}},
      {"--check-timeout", "seconds from 1 to 3600", {"0"}},
      {"--check-failures", "failures from 1 to 1000", {"0", "x"}},
      {"--check-grace", "seconds from 0 to 86400", {"-1"}},
  };
  for (const auto& [option, range, values] : numbers) {
    for (const char* value : values) {
      EXPECT_EQ(std::string("invalid value '") + value + "' for " + option +
                    ": a whole number of " + range,
                refused({"--check", "tcp://h:1", option, value}));
    }
  }
  for (const char* env : {"1A=x", "A-B=x", "=x", ""}) {
    EXPECT_EQ(std::string("invalid --env '") + env +
                  "': the name must be letters, digits and '_', not starting with a digit",
              refused({"--env", env}));
  }
}
