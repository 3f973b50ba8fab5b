// vigilctl's command line: what is accepted, what is a usage error, and the
// port's sources in order.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "CtlArguments.h"
#include "HealthCheck.h"

namespace {

struct Outcome {
  bool ok;
  CtlArguments arguments;
  std::string error;
};

Outcome Parse(std::vector<const char*> words, const char* envPort = nullptr) {
  words.insert(words.begin(), "vigilctl");
  Outcome outcome;
  outcome.ok = CtlArguments::Parse(static_cast<int>(words.size()), words.data(), envPort,
                                   &outcome.arguments, &outcome.error);
  return outcome;
}

}  // namespace

TEST(CtlArgumentsTest, UsageErrorsNameTheirCause) {
  const struct {
    std::vector<const char*> words;
    const char* error;
  } cases[] = {
      {{}, "no verb given"},
      {{"respawn"}, "unknown verb 'respawn'"},
      {{"restart"}, "no program name given to restart"},
      {{"stop", "a", "b"}, "unexpected argument 'b'"},
      {{"logs", "a", "-n", "x"}, "invalid value 'x' for --lines: a whole number of lines from 0 to 1000000"},
      {{"logs", "a", "-f=1"}, "unexpected argument '-f=1'"},
      {{"logs", "a", "--follow=yes"}, "--follow takes no value"},
      {{"reload", "--status-file", "f"}, "unknown option '--status-file'"},
      {{"run", "--output", "file", "--", "true"}, "invalid value 'file' for --output"},
      {{"run", "--output", "log", "--", "true"}, "--log and --output log go together"},
      {{"run", "--output", "null", "--log", "f", "--", "true"}, "--log and --output log go together"},
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
  };
  for (const auto& c : cases) {
    const Outcome outcome = Parse(c.words);
    EXPECT_FALSE(outcome.ok) << c.error;
    EXPECT_EQ(c.error, outcome.error);
  }
  EXPECT_TRUE(Parse({"run", "--restart", "never", "--", "true"}).ok);
  const Outcome logs = Parse({"logs", "web", "-n", "3", "-f", "--log-dir", "/l"});
  ASSERT_TRUE(logs.ok) << logs.error;
  EXPECT_EQ(logs.arguments.verb, CtlArguments::kLogs);
  EXPECT_EQ(logs.arguments.name, "web");
  EXPECT_EQ(logs.arguments.lines, 3);
  EXPECT_TRUE(logs.arguments.follow);
  EXPECT_EQ(logs.arguments.logDir, "/l");
  const Outcome captured = Parse({"run", "--log", "/l/o.log", "--log-keep", "0", "--", "true"});
  ASSERT_TRUE(captured.ok) << captured.error;
  EXPECT_EQ(captured.arguments.output, "log");
  EXPECT_EQ(captured.arguments.logKeep, 0);
  EXPECT_EQ(captured.arguments.logSize, 10 * 1024 * 1024);
  for (const char* port : {"abc", "0", "65536", "-1", "3003x"}) {
    EXPECT_EQ(std::string("invalid TLM_SNMP_COLL_VIGILDPORT '") + port + "'",
              Parse({"status"}, port).error);
  }
}

TEST(CtlArgumentsTest, EveryVerbReadsItsOptions) {
  Outcome watch =
      Parse({"watch",      "--pid",    "42",          "--name=db", "--start", "start db",  "--stop",
             "kill 42",    "--wdfreq", "10",          "--maxwset", "900",     "--minwset", "100",
             "--wsetincr", "150",      "--maxerrors", "3",         "--host",  "10.0.0.1"});
  ASSERT_TRUE(watch.ok) << watch.error;
  EXPECT_EQ(CtlArguments::kWatch, watch.arguments.verb);
  EXPECT_EQ(42, watch.arguments.pid);
  EXPECT_EQ("db", watch.arguments.name);
  EXPECT_EQ("start db", watch.arguments.start);
  EXPECT_EQ(900, watch.arguments.maxwset);
  EXPECT_EQ(3, watch.arguments.maxerrors);
  EXPECT_EQ("10.0.0.1", watch.arguments.host);
  EXPECT_EQ(3003, watch.arguments.port);

  Outcome run =
      Parse({"run", "--wdfreq", "2", "--restart", "always", "sh", "-c", "exit 3"}, "4004");
  ASSERT_TRUE(run.ok) << run.error;
  EXPECT_EQ(4004, run.arguments.port);
  EXPECT_EQ(CtlArguments::kAlways, run.arguments.restart);
  EXPECT_EQ((std::vector<std::string>{"sh", "-c", "exit 3"}), run.arguments.command);

  // After "--" everything is the program's, options included.
  Outcome dashes = Parse({"run", "--port", "5005", "--", "prog", "--help", "--port", "1"}, "4004");
  ASSERT_TRUE(dashes.ok);
  EXPECT_FALSE(dashes.arguments.help);
  EXPECT_EQ(5005, dashes.arguments.port);
  EXPECT_EQ((std::vector<std::string>{"prog", "--help", "--port", "1"}), dashes.arguments.command);

  Outcome status = Parse({"status", "--json", "--status-file", "/tmp/s.json"});
  ASSERT_TRUE(status.ok);
  EXPECT_TRUE(status.arguments.json);
  EXPECT_EQ("/tmp/s.json", status.arguments.statusFile);

  EXPECT_TRUE(Parse({"--help"}).arguments.help);
  EXPECT_TRUE(Parse({"beat", "--help"}).arguments.help);
  // --help needs no other option, but a bad value met before it is still an error.
  EXPECT_TRUE(Parse({"watch", "--help"}).ok);
  EXPECT_EQ("invalid value 'x' for --pid", Parse({"watch", "--pid", "x", "--help"}).error);
}

TEST(CtlArgumentsTest, RunCheckEnvAndDirectoryMistakesAreRefusedBeforeAnythingStarts) {
  setenv("VIGILCTL_TEST_SET", "from the caller", 1);
  unsetenv("VIGILCTL_TEST_UNSET");
  const std::string every = ": a whole number of seconds from 1 to 86400";
  const struct {
    std::vector<const char*> words;
    std::string error;
  } cases[] = {
      {{"--check", "ftp://h/"},
       "invalid --check 'ftp://h/': not http://HOST:PORT/PATH, tcp://HOST:PORT or exec:COMMAND"},
      {{"--check", "HTTP://h:80/"}, "invalid --check 'HTTP://h:80/': not http://HOST:PORT/PATH, "
                                    "tcp://HOST:PORT or exec:COMMAND"},
      {{"--check", "http://"}, "invalid --check 'http://': no host"},
      {{"--check", "http://:80/"}, "invalid --check 'http://:80/': no host"},
      {{"--check", "http://h:0/"}, "invalid --check 'http://h:0/': port '0' is not a number from 1 to 65535"},
      {{"--check", "http://h:65536/"},
       "invalid --check 'http://h:65536/': port '65536' is not a number from 1 to 65535"},
      {{"--check", "http://h:-1/"}, "invalid --check 'http://h:-1/': port '-1' is not a number from 1 to 65535"},
      {{"--check", "http://h:8o/"}, "invalid --check 'http://h:8o/': port '8o' is not a number from 1 to 65535"},
      {{"--check", "http://h:/"}, "invalid --check 'http://h:/': port '' is not a number from 1 to 65535"},
      {{"--check", "tcp://h"}, "invalid --check 'tcp://h': no port"},
      {{"--check", "tcp://h:22/x"}, "invalid --check 'tcp://h:22/x': tcp:// takes no path"},
      {{"--check", "http://u@h:80/"},
       "invalid --check 'http://u@h:80/': the host holds '@' (names and IPv4 addresses as they are, "
       "IPv6 in brackets)"},
      {{"--check", "http://::1:80/"},
       "invalid --check 'http://::1:80/': an IPv6 address goes in brackets"},
      {{"--check", "http://[::1:80/"}, "invalid --check 'http://[::1:80/': no ']' after the IPv6 address"},
      {{"--check", "http://[fe80::1%eth0]:80/"},
       "invalid --check 'http://[fe80::1%eth0]:80/': not an IPv6 address in brackets"},
      {{"--check", "http://[::1]x/"}, "invalid --check 'http://[::1]x/': unexpected text after the IPv6 address"},
      {{"--check", "http://h:80/a b"},
       "invalid --check 'http://h:80/a b': the path holds a blank, control or non-ASCII character"},
      {{"--check", "http://h:80/a\r\nX: y"},
       "invalid --check 'http://h:80/a\r\nX: y': the path holds a blank, control or non-ASCII character"},
      {{"--check", "exec:"}, "invalid --check 'exec:': exec: needs a command"},
      {{"--check", "exec: \t"}, "invalid --check 'exec: \t': exec: needs a command"},
      {{"--check", "exec:true\nBEGINMGMT"},
       "invalid --check 'exec:true\nBEGINMGMT': the command holds a line feed, carriage return or NUL byte"},
      {{"--check", "tcp://h:1", "--check", "tcp://h:2"}, "--check given twice"},
      {{"--check", "tcp://h:1", "--check-every", "0"}, "invalid value '0' for --check-every" + every},
      {{"--check", "tcp://h:1", "--check-every", "-5"}, "invalid value '-5' for --check-every" + every},
      {{"--check", "tcp://h:1", "--check-every", "1.5"}, "invalid value '1.5' for --check-every" + every},
      {{"--check", "tcp://h:1", "--check-every", "86401"}, "invalid value '86401' for --check-every" + every},
      {{"--check", "tcp://h:1", "--check-timeout", "0"},
       "invalid value '0' for --check-timeout: a whole number of seconds from 1 to 3600"},
      {{"--check", "tcp://h:1", "--check-failures", "0"},
       "invalid value '0' for --check-failures: a whole number of failures from 1 to 1000"},
      {{"--check", "tcp://h:1", "--check-failures", "x"},
       "invalid value 'x' for --check-failures: a whole number of failures from 1 to 1000"},
      {{"--check", "tcp://h:1", "--check-grace", "-1"},
       "invalid value '-1' for --check-grace: a whole number of seconds from 0 to 86400"},
      {{"--check-every", "5"}, "--check-every needs --check"},
      {{"--check-grace", "0"}, "--check-grace needs --check"},
      {{"--env", "1A=x"},
       "invalid --env '1A=x': the name must be letters, digits and '_', not starting with a digit"},
      {{"--env", "A-B=x"},
       "invalid --env 'A-B=x': the name must be letters, digits and '_', not starting with a digit"},
      {{"--env", "=x"},
       "invalid --env '=x': the name must be letters, digits and '_', not starting with a digit"},
      {{"--env", ""}, "invalid --env '': the name must be letters, digits and '_', not starting with a digit"},
      {{"--env", "A=1", "--env", "A=2"}, "--env A given twice"},
      {{"--env", "A=1", "--env", "A"}, "--env A given twice"},
      {{"--env", "A=a\nb"}, "--env A: the value holds a line feed or carriage return"},
      {{"--env", "A=a\rb"}, "--env A: the value holds a line feed or carriage return"},
      {{"--env", "VIGILCTL_TEST_UNSET"}, "--env VIGILCTL_TEST_UNSET: VIGILCTL_TEST_UNSET is not set here"},
      {{"--chdir", ""}, "--chdir needs a directory"},
      {{"--chdir", "/a", "--chdir", "/b"}, "--chdir given twice"},
  };
  for (const auto& c : cases) {
    std::vector<const char*> words{"run"};
    words.insert(words.end(), c.words.begin(), c.words.end());
    words.insert(words.end(), {"--", "true"});
    const Outcome outcome = Parse(words);
    EXPECT_FALSE(outcome.ok) << c.error;
    EXPECT_EQ(c.error, outcome.error);
  }
  const struct {
    std::vector<const char*> words;
    const char* error;
  } others[] = {
      {{"status", "--json", "--check", "web"}, "--json and --check do not go together"},
      {{"status", "--check", ""}, "--check needs a program name"},
      {{"status", "--check-every", "5"}, "unknown option '--check-every'"},
      {{"watch", "--env", "A=1"}, "unknown option '--env'"},
      {{"reset"}, "no program name given to reset"},
      {{"reset", ""}, "unexpected argument ''"},
      {{"reset", "web", "db"}, "unexpected argument 'db'"},
      {{"reset", "--pid", "3", "web"}, "unknown option '--pid'"},
  };
  for (const auto& c : others) {
    EXPECT_EQ(c.error, Parse(c.words).error);
  }
}

TEST(CtlArgumentsTest, RunReadsChecksEnvironmentAndDirectoryAndResetItsName) {
  setenv("VIGILCTL_TEST_SET", "from the caller $x 'q'", 1);
  const Outcome run = Parse({"run", "--check", "http://[::1]:8080/health?x=1", "--check-every", "7",
                             "--check-timeout=1", "--check-failures", "4", "--check-grace", "0",
                             "--env", "B=two=2", "--env", "VIGILCTL_TEST_SET", "--env", "E=",
                             "--chdir", "/srv/web", "--restart", "never", "--", "server"});
  ASSERT_TRUE(run.ok) << run.error;
  EXPECT_EQ("http://[::1]:8080/health?x=1", run.arguments.check);
  EXPECT_EQ(7, run.arguments.checkEvery);
  EXPECT_EQ(1, run.arguments.checkTimeout);
  EXPECT_EQ(4, run.arguments.checkFailures);
  EXPECT_EQ(0, run.arguments.checkGrace);
  EXPECT_EQ((std::vector<std::string>{"B=two=2", "VIGILCTL_TEST_SET=from the caller $x 'q'", "E="}),
            run.arguments.env);
  EXPECT_EQ("/srv/web", run.arguments.chdir);
  EXPECT_EQ(CtlArguments::kNever, run.arguments.restart);
  EXPECT_STREQ("never", CtlArguments::RestartName(run.arguments.restart));

  const Outcome defaults = Parse({"run", "--check", "tcp://db:5432", "--", "server"});
  ASSERT_TRUE(defaults.ok) << defaults.error;
  EXPECT_EQ(5, defaults.arguments.checkEvery);
  EXPECT_EQ(2, defaults.arguments.checkTimeout);
  EXPECT_EQ(3, defaults.arguments.checkFailures);
  EXPECT_EQ(10, defaults.arguments.checkGrace);

  EXPECT_EQ("web", Parse({"reset", "web"}).arguments.name);
  EXPECT_EQ("--odd", Parse({"reset", "--", "--odd"}).arguments.name);
  const Outcome reset = Parse({"reset", "--status-file", "/s.json", "web", "--port", "4000"});
  ASSERT_TRUE(reset.ok) << reset.error;
  EXPECT_EQ(CtlArguments::kReset, reset.arguments.verb);
  EXPECT_EQ("/s.json", reset.arguments.statusFile);
  EXPECT_EQ(4000, reset.arguments.port);
  EXPECT_EQ("web", Parse({"status", "--check", "web"}).arguments.statusCheck);
}

TEST(CtlArgumentsTest, CheckUrlsAreReadIntoTheirParts) {
  const struct {
    const char* url;
    HealthCheck::Kind kind;
    const char* host;
    int port;
    const char* path;
    const char* command;
  } cases[] = {
      {"http://127.0.0.1:8000/", HealthCheck::kHttp, "127.0.0.1", 8000, "/", ""},
      {"http://web", HealthCheck::kHttp, "web", 80, "/", ""},
      {"http://web.example_1:65535/a/b?c=d&e#f", HealthCheck::kHttp, "web.example_1", 65535,
       "/a/b?c=d&e#f", ""},
      {"http://[::1]:81/x", HealthCheck::kHttp, "::1", 81, "/x", ""},
      {"tcp://localhost:1", HealthCheck::kTcp, "localhost", 1, "/", ""},
      {"tcp://[2001:db8::1]:22", HealthCheck::kTcp, "2001:db8::1", 22, "/", ""},
      {"exec:curl -fs http://x/ | grep -q ok", HealthCheck::kExec, "", 0, "",
       "curl -fs http://x/ | grep -q ok"},
  };
  for (const auto& c : cases) {
    HealthCheck::Target target;
    std::string error;
    ASSERT_TRUE(HealthCheck::Parse(c.url, &target, &error)) << c.url << ": " << error;
    EXPECT_EQ(c.kind, target.kind) << c.url;
    EXPECT_EQ(c.host, target.host) << c.url;
    EXPECT_EQ(c.port, target.port) << c.url;
    EXPECT_EQ(c.kind == HealthCheck::kExec ? "" : c.path, target.path) << c.url;
    EXPECT_EQ(c.command, target.command) << c.url;
  }
  HealthCheck::Target target;
  std::string error;
  EXPECT_FALSE(HealthCheck::Parse("exec:" + std::string(5000, 'x'), &target, &error));
  EXPECT_EQ("longer than 4096 bytes", error);
}
