#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CliParser.h"

namespace {

// A writable argv built from words, alive as long as the object.
class Args {
 public:
  Args(std::initializer_list<const char*> words) : store(words.begin(), words.end()) {
    for (std::string& word : store) {
      pointers.push_back(&word[0]);
    }
    pointers.push_back(nullptr);
  }
  Args(const Args&) = delete;
  CliParser Parser() { return CliParser(static_cast<int>(store.size()), pointers.data()); }
  char* operator[](size_t i) { return pointers[i]; }

 private:
  std::vector<std::string> store;
  std::vector<char*> pointers;
};

// The unread arguments, oldest first, each in brackets; empties the list.
std::string DrainUnread(CliParser& parser) {
  std::string all, token;
  while (parser.popUnreadToken(token)) {
    all += "[" + token + "]";
  }
  return all;
}

}  // namespace

TEST(CliParserTest, OptionOneTakesTheNextArgumentUnlessItIsASwitch) {
  Args good{"/opt/bin/vigild.exe", "-c", "3", "-l", "7"};
  CliParser parser = good.Parser();
  std::string c, l;
  EXPECT_TRUE(parser.optionOne("c", c) && parser.optionOne("l", l));
  EXPECT_EQ("3/7", c + "/" + l);
  EXPECT_EQ("", DrainUnread(parser));
  EXPECT_EQ("vigild", parser.ProgramName());

  struct {
    Args args;
    const char *name, *unread;
  } cases[] = {{{"vigild", "-x", "-f"}, "f", "[-x]"},
               {{"vigild", "-P", "-1"}, "P", "[-1]"},
               {{"vigild", "-", "x"}, "", "[-][x]"},
               {{"vigild", "--x", "v"}, "x", "[--x][v]"}};
  for (auto& k : cases) {
    CliParser p = k.args.Parser();
    std::string value = "unchanged";
    EXPECT_FALSE(p.optionOne(k.name, value));
    EXPECT_EQ("unchanged", value);
    EXPECT_EQ(k.unread, DrainUnread(p)) << k.name;
  }
}

TEST(CliParserTest, DiscreteFlagMatchesWholeNamesAndConsumesEveryOccurrence) {
  Args args{"vigild", "-v", "-", "--x", "-tracex", "-Trace", "keep", "-v"};
  CliParser parser = args.Parser();
  EXPECT_TRUE(parser.discreteFlag("v"));
  EXPECT_TRUE(parser.discreteFlag("-x"));
  EXPECT_FALSE(parser.discreteFlag(""));
  EXPECT_FALSE(parser.discreteFlag("trace"));
  EXPECT_EQ("[-][-tracex][-Trace][keep]", DrainUnread(parser));
  EXPECT_EQ(3u, parser.ReadTokens().size());
}

TEST(CliParserTest, DiscreteSwitchReadsAnOptionalValueWord) {
  struct {
    Args args;
    bool mandatory, initial, result, value;
    const char* unread;
  } cases[] = {{{"vigild", "-trace", "no"}, true, true, true, false, ""},
               {{"vigild", "-trace"}, true, false, true, true, ""},
               {{"vigild", "-trace", "-c", "3"}, true, false, true, true, "[-c][3]"},
               {{"vigild", "-trace", "Yes"}, true, false, true, true, ""},
               {{"vigild", "-trace", ""}, true, true, true, false, ""},
               {{"vigild", "-c", "3"}, true, true, false, true, "[-c][3]"},
               {{"vigild", "-c", "3"}, false, false, true, false, "[-c][3]"}};
  for (auto& k : cases) {
    CliParser parser = k.args.Parser();
    bool value = k.initial;
    EXPECT_EQ(k.result, parser.discreteSwitch("trace", value, k.mandatory)) << k.args[1];
    EXPECT_EQ(k.value, value) << k.args[1];
    EXPECT_EQ(k.unread, DrainUnread(parser));
  }
}

TEST(CliParserTest, MarkTokenAsReadComparesAddressesAndPrintingPrefixesABlank) {
  Args args{"vigild", "dup", "dup"};
  CliParser parser = args.Parser();
  parser.markTokenAsRead(args[2]);
  EXPECT_EQ(args[2], parser.ReadTokens().front());
  std::string out = "old";
  EXPECT_TRUE(parser.printCommandLineArguments(out, 1));
  EXPECT_EQ(" dup dup", out);
  EXPECT_TRUE(parser.printCommandLineArguments(out, 3));
  EXPECT_EQ("", out);
  ASSERT_TRUE(parser.popUnreadToken(out));
  EXPECT_FALSE(parser.popUnreadToken(out));
}
