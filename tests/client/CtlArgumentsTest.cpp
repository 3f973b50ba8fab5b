// vigilctl's command line: what is accepted, what is a usage error, and the
// port's sources in order.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <sstream>
#include <string>
#include <vector>

#include "CtlArguments.h"

namespace {

struct Outcome {
  bool ok;
  CtlArguments arguments;
  std::string error;
};

Outcome Parse(const std::vector<std::string>& words, const char* envPort = nullptr) {
  std::vector<const char*> argv{"vigilctl"};
  for (const std::string& word : words) {
    argv.push_back(word.c_str());
  }
  Outcome outcome;
  outcome.ok = CtlArguments::Parse(static_cast<int>(argv.size()), argv.data(), envPort,
                                   &outcome.arguments, &outcome.error);
  return outcome;
}

// The same for a command line whose words hold no blank.
Outcome ParseLine(const std::string& line, const char* envPort = nullptr) {
  std::vector<std::string> words;
  std::istringstream in(line);
  for (std::string word; in >> word;) {
    words.push_back(word);
  }
  return Parse(words, envPort);
}

}  // namespace

TEST(CtlArgumentsTest, EveryVerbReadsItsOptionsRunItsChecksEnvironmentAndDirectory) {
  const Outcome watch = ParseLine(
      "watch --pid 42 --name=db --start start-db --stop kill-42 --wdfreq 10 --maxwset 900 "
      "--minwset 100 --wsetincr 150 --maxerrors 3 --host 10.0.0.1");
  ASSERT_TRUE(watch.ok) << watch.error;
  EXPECT_EQ(CtlArguments::kWatch, watch.arguments.verb);
  EXPECT_EQ(42, watch.arguments.pid);
  EXPECT_EQ("db", watch.arguments.name);
  EXPECT_EQ("start-db", watch.arguments.start);
  EXPECT_EQ(900, watch.arguments.maxwset);
  EXPECT_EQ(3, watch.arguments.maxerrors);
  EXPECT_EQ("10.0.0.1", watch.arguments.host);
  EXPECT_EQ(3003, watch.arguments.port);

  setenv("VIGILCTL_TEST_SET", "from the caller $x 'q'", 1);
  const Outcome run = ParseLine(
      "run --wdfreq 2 --restart always --check http://[::1]:8080/health?x=1 --check-every 7 "
      "--check-timeout=1 --check-failures 4 --check-grace 0 --env B=two=2 "
      "--env VIGILCTL_TEST_SET --env E= --chdir /srv/web sh -c exit",
      "4004");
  ASSERT_TRUE(run.ok) << run.error;
  EXPECT_EQ(4004, run.arguments.port);
  EXPECT_EQ(2, run.arguments.wdfreq);
  EXPECT_EQ(CtlArguments::kAlways, run.arguments.restart);
  EXPECT_EQ((std::vector<std::string>{"sh", "-c", "exit"}), run.arguments.command);
  EXPECT_EQ("http://[::1]:8080/health?x=1", run.arguments.check);
  EXPECT_EQ(7, run.arguments.checkEvery);
  EXPECT_EQ(1, run.arguments.checkTimeout);
  EXPECT_EQ(4, run.arguments.checkFailures);
  EXPECT_EQ(0, run.arguments.checkGrace);
  EXPECT_EQ((std::vector<std::string>{"B=two=2", "VIGILCTL_TEST_SET=from the caller $x 'q'", "E="}),
            run.arguments.env);
  EXPECT_EQ("/srv/web", run.arguments.chdir);
  EXPECT_EQ(CtlArguments::kNever, ParseLine("run --restart never -- x").arguments.restart);
  // After "--" everything is the program's, options included.
  Outcome dashes = ParseLine("run --port 5005 -- prog --help --port 1", "4004");
  ASSERT_TRUE(dashes.ok);
  EXPECT_FALSE(dashes.arguments.help);
  EXPECT_EQ(5005, dashes.arguments.port);
  EXPECT_EQ((std::vector<std::string>{"prog", "--help", "--port", "1"}), dashes.arguments.command);
  const Outcome captured = ParseLine("run --log /l/o.log --log-keep 0 -- true");
  ASSERT_TRUE(captured.ok) << captured.error;
  EXPECT_EQ(captured.arguments.output, "log");
  EXPECT_EQ(captured.arguments.logKeep, 0);
  EXPECT_EQ(captured.arguments.logSize, 10 * 1024 * 1024);

  Outcome status = ParseLine("status --json --status-file /tmp/s.json");
  ASSERT_TRUE(status.ok);
  EXPECT_TRUE(status.arguments.json);
  EXPECT_EQ("/tmp/s.json", status.arguments.statusFile);
  const Outcome logs = ParseLine("logs web -n 3 -f --log-dir /l");
  ASSERT_TRUE(logs.ok) << logs.error;
  EXPECT_EQ(logs.arguments.verb, CtlArguments::kLogs);
  EXPECT_EQ(logs.arguments.name, "web");
  EXPECT_EQ(logs.arguments.lines, 3);
  EXPECT_TRUE(logs.arguments.follow);
  EXPECT_EQ(logs.arguments.logDir, "/l");

  EXPECT_TRUE(ParseLine("--help").arguments.help);
  EXPECT_TRUE(ParseLine("beat --help").arguments.help);
  // --help needs no other option, but a bad value met before it is still an error.
  EXPECT_TRUE(ParseLine("watch --help").ok);
  EXPECT_EQ("invalid value 'x' for --pid", ParseLine("watch --pid x --help").error);

  EXPECT_EQ("web", ParseLine("reset web").arguments.name);
  EXPECT_EQ("--odd", ParseLine("reset -- --odd").arguments.name);
  const Outcome reset = ParseLine("reset --status-file /s.json web --port 4000");
  ASSERT_TRUE(reset.ok) << reset.error;
  EXPECT_EQ(CtlArguments::kReset, reset.arguments.verb);
  EXPECT_EQ("/s.json", reset.arguments.statusFile);
  EXPECT_EQ(4000, reset.arguments.port);
  EXPECT_EQ("web", ParseLine("status --check web").arguments.statusCheck);
}

TEST(CtlArgumentsTest, MistakesAreRefusedWithTheirCauseBeforeAnythingStarts) {
  const struct {
    std::vector<std::string> words;
    const char* error;
  } usage[] = {
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
      {{"forget", "--pid", "-3"}, "invalid value '-3' for --pid"},
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
      {{"reset", "web", "db"}, "unexpected argument 'db'"},
      {{"reset", "--pid", "3", "web"}, "unknown option '--pid'"},
  };
  for (const auto& c : usage) {
    const Outcome outcome = Parse(c.words);
    EXPECT_FALSE(outcome.ok) << c.error;
    EXPECT_EQ(c.error, outcome.error);
  }
  for (const char* port : {"abc", "0", "65536", "-1", "3003x"}) {
    EXPECT_EQ(std::string("invalid TLM_SNMP_COLL_VIGILDPORT '") + port + "'",
              Parse({"status"}, port).error);
  }
  unsetenv("VIGILCTL_TEST_UNSET");
  const std::string kinds = "not http://HOST:PORT/PATH, tcp://HOST:PORT or exec:COMMAND";
  const std::string badPort = " is not a number from 1 to 65535";
  const std::string badPath = "the path holds a blank, control or non-ASCII character";
  const std::string badHost =
      "the host holds '@' (names and IPv4 addresses as they are, IPv6 in brackets)";
  const std::string badCommand = "the command holds a line feed, carriage return or NUL byte";
  const struct {
    std::string url;
    std::string why;
  } checks[] = {
      {"ftp://h/", kinds},
      {"HTTP://h:80/", kinds},
      {"http://", "no host"},
      {"http://:80/", "no host"},
      {"http://h:0/", "port '0'" + badPort},
      {"http://h:65536/", "port '65536'" + badPort},
      {"http://h:-1/", "port '-1'" + badPort},
      {"http://h:8o/", "port '8o'" + badPort},
      {"http://h:/", "port ''" + badPort},
      {"tcp://h", "no port"},
      {"tcp://h:22/x", "tcp:// takes no path"},
      {"http://u@h:80/", badHost},
      {"http://::1:80/", "an IPv6 address goes in brackets"},
      {"http://[::1:80/", "no ']' after the IPv6 address"},
      {"http://[fe80::1%eth0]:80/", "not an IPv6 address in brackets"},
      {"http://[::1]x/", "unexpected text after the IPv6 address"},
      {"http://h:80/a b", badPath},
      {"http://h:80/a\r\nX: y", badPath},
      {"exec:", "exec: needs a command"},
      {"exec: \t", "exec: needs a command"},
      {"exec:true\nBEGINMGMT", badCommand},
      {"exec:" + std::string(5000, 'x'), "longer than 4096 bytes"},
  };
  const struct {
    std::vector<std::string> words;
    std::string error;
  } cases[] = {
      {{"--check", "tcp://h:1", "--check", "tcp://h:2"}, "--check given twice"},
      {{"--check-every", "5"}, "--check-every needs --check"},
      {{"--check-grace", "0"}, "--check-grace needs --check"},
      {{"--env", "A=1", "--env", "A=2"}, "--env A given twice"},
      {{"--env", "A=1", "--env", "A"}, "--env A given twice"},
      {{"--env", "A=a\nb"}, "--env A: the value holds a line feed or carriage return"},
      {{"--env", "A=a\rb"}, "--env A: the value holds a line feed or carriage return"},
      {{"--env", "VIGILCTL_TEST_UNSET"},
       "--env VIGILCTL_TEST_UNSET: VIGILCTL_TEST_UNSET is not set here"},
      {{"--chdir", ""}, "--chdir needs a directory"},
      {{"--chdir", "/a", "--chdir", "/b"}, "--chdir given twice"},
  };
  const auto refused = [](std::vector<std::string> words) {
    words.insert(words.begin(), "run");
    words.insert(words.end(), {"--", "true"});
    const Outcome outcome = Parse(words);
    EXPECT_FALSE(outcome.ok);
    return outcome.error;
  };
  for (const auto& c : checks) {
    EXPECT_EQ("invalid --check '" + c.url + "': " + c.why, refused({"--check", c.url}));
  }
  for (const auto& c : cases) {
    EXPECT_EQ(c.error, refused(c.words));
  }
  const struct {
    const char* option;
    const char* value;
    const char* range;
  } numbers[] = {
      {"--check-every", "0", "seconds from 1 to 86400"},
      {"--check-every", "-5", "seconds from 1 to 86400"},
      {"--check-every", "1.5", "seconds from 1 to 86400"},
      {"--check-every", "86401", "seconds from 1 to 86400"},
      {"--check-timeout", "0", "seconds from 1 to 3600"},
      {"--check-failures", "0", "failures from 1 to 1000"},
      {"--check-failures", "x", "failures from 1 to 1000"},
      {"--check-grace", "-1", "seconds from 0 to 86400"},
  };
  for (const auto& n : numbers) {
    EXPECT_EQ(std::string("invalid value '") + n.value + "' for " + n.option +
                  ": a whole number of " + n.range,
              refused({"--check", "tcp://h:1", n.option, n.value}));
  }
  for (const char* env : {"1A=x", "A-B=x", "=x", ""}) {
    EXPECT_EQ(std::string("invalid --env '") + env +
                  "': the name must be letters, digits and '_', not starting with a digit",
              refused({"--env", env}));
  }
}
