// vigilctl's command line: what is accepted, what is a usage error, and the
// port's sources in order.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CtlArguments.h"

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
      {{"restart"}, "unknown verb 'restart'"},
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
      {{"run", "--restart", "never", "--", "true"}, "invalid value 'never' for --restart"},
      {{"run", "--minwset", "10", "--", "true"}, "--minwset, --wsetincr and --nomwset go together"},
      {{"run", "--wdfreq", "0", "--", "true"}, "--wdfreq must be 1 or more for run"},
  };
  for (const auto& c : cases) {
    const Outcome outcome = Parse(c.words);
    EXPECT_FALSE(outcome.ok) << c.error;
    EXPECT_EQ(c.error, outcome.error);
  }
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
