#include "ArgOpt.h"
#include "CliParser.h"
#include "TestCommon.h"

namespace {

// Lets `use` work on a parser over words (argv[0] first), then returns the
// arguments left unread, oldest first, each in brackets.
std::string Unread(std::vector<std::string> words, const std::function<void(CliParser&)>& use) {
  std::vector<char*> argv;
  for (std::string& word : words) {
    argv.push_back(&word[0]);
  }
  argv.push_back(nullptr);
  CliParser parser(static_cast<int>(words.size()), argv.data());
  use(parser);
  std::string all, token;
  while (parser.popUnreadToken(token)) {
    all += "[" + token + "]";
  }
  return all;
}

}  // namespace

TEST(CliParserTest, OptionsTakeTheNextArgumentUnlessItIsASwitchAndSwitchesAnOptionalValueWord) {
  // words, option, found, value, unread
  const std::tuple<std::vector<std::string>, const char*, bool, const char*, const char*> cases[] =
      {{{"vigild", "-c", "3", "-l", "7"}, "c", true, "3", "[-l][7]"},
       {{"vigild", "-c", "3", "-l", "7"}, "l", true, "7", "[-c][3]"},
       {{"vigild", "-x", "-f"}, "f", false, "unchanged", "[-x]"},
       {{"vigild", "-P", "-1"}, "P", false, "unchanged", "[-1]"},
       {{"vigild", "-", "x"}, "", false, "unchanged", "[-][x]"},
       {{"vigild", "--x", "v"}, "x", false, "unchanged", "[--x][v]"}};
  for (const auto& [words, name, found, expected, unread] : cases) {
    std::string value = "unchanged";
    EXPECT_EQ(unread, Unread(words, [&, name = name, found = found](CliParser& p) {
                EXPECT_EQ(found, p.optionOne(name, value)) << name;
              }));
    EXPECT_EQ(expected, value) << name;
  }
  // words, mandatory, value before, result, value after, unread
  const std::tuple<std::vector<std::string>, bool, bool, bool, bool, const char*> switches[] = {
      {{"vigild", "-trace", "no"}, true, true, true, false, ""},
      {{"vigild", "-trace"}, true, false, true, true, ""},
      {{"vigild", "-trace", "-c", "3"}, true, false, true, true, "[-c][3]"},
      {{"vigild", "-trace", "Yes"}, true, false, true, true, ""},
      {{"vigild", "-c", "3"}, true, true, false, true, "[-c][3]"},
      {{"vigild", "-c", "3"}, false, false, true, false, "[-c][3]"}};
  for (const auto& [words, mandatory, initial, result, expected, unread] : switches) {
    SCOPED_TRACE(words[1]);
    bool value = initial;
    EXPECT_EQ(unread, Unread(words, [&, mandatory = mandatory, result = result](CliParser& p) {
                EXPECT_EQ(result, p.discreteSwitch("trace", value, mandatory));
              }));
    EXPECT_EQ(expected, value);
  }
}

TEST(ArgOptTest, ValuesComeFromTheFirstMatchWithEnoughArgumentsAfterIt) {
  char a0[] = "vigild", a1[] = "-f", a2[] = "x", a3[] = "y", a4[] = "-f";
  char* argv[] = {a0, a1, a2, a3, a4, nullptr};
  ArgOpt opt(5, argv);
  EXPECT_STREQ("x", opt.GetValue("-f"));
  EXPECT_STREQ("-f", opt.GetValue3("-f"));
  EXPECT_EQ(vide, opt.GetValue("-x"));
  EXPECT_EQ(vide, ArgOpt(4, argv).GetValue3("-f"));  // vigild -f x y
  EXPECT_EQ(vide, ArgOpt(2, argv).GetValue("-f"));   // vigild -f
}
