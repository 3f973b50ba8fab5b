#include "Regex.h"
#include "StderrCapture.h"
#include "String.h"

TEST(StringTest, GsubOfAInBananaGivesThree) {
  // text, pattern, replacement, by regex, count, result; a zero-length match ends the work
  const std::tuple<const char*, const char*, const char*, bool, int, const char*> cases[] = {
      {"banana", "a", "bb", true, 3, "bbbnbbnbb"}, {"banana", "a", "bb", false, 3, "bbbnbbnbb"},
      {"abc", "", "x", false, 0, "abc"},           {"aaaa", "aa", "a", false, 2, "aa"},
      {"abc", "x*", "y", true, 0, "abc"},          {"aab", "a*", "X", true, 1, "Xb"}};
  for (const auto& [text, pattern, repl, regex, count, result] : cases) {
    String s(text);
    EXPECT_EQ(count, regex ? s.gsub(Regex(pattern), repl) : s.gsub(pattern, repl)) << pattern;
    EXPECT_EQ(result, s) << text << " / " << pattern;
  }
}

TEST(StringTest, CapacityFollowsPowerOfTwoBlocks) {
  const int cases[][2] = {{0, 0}, {1, 6}, {6, 6}, {7, 22}, {12, 22}, {23, 54}, {55, 118}};
  for (const auto& c : cases) {
    String s(std::string(static_cast<size_t>(c[0]), 'x').c_str());
    EXPECT_EQ(c[1], s.capacity()) << c[0];
  }
}

TEST(StringTest, SlicesSplitAroundTheMatchAndAreEmptyOutOfRangeOrWithoutOne) {
  Regex sep("[ :]+");
  String s("hello"), line("psstart:   /usr/bin/run  -x"), none("nothing");
  const std::pair<String, const char*> slices[] = {
      {s.at(-1, 2), ""},      {s.before(6), ""},     {line.before(sep), "psstart"},
      {none.before(sep), ""}, {none.after(sep), ""}, {line.after(sep), "/usr/bin/run  -x"}};
  for (const auto& [slice, text] : slices) {
    EXPECT_EQ(text, slice);
  }
  s.at(-1, 2) = "zz";  // must not write into the shared empty string
  EXPECT_EQ("hello", s);
  EXPECT_EQ(0, _nilString.length());
}

TEST(StringTest, TextBeyondTheLengthLimitIsTruncatedWithOneReport) {
  const std::string max(String::kMaxLength, 'a');
  StderrCapture capture;
  String full(max.c_str()), big((max + "b").c_str()), appended(full), grown("aaaa"),
      exact(max.substr(1).c_str()), replaced("ab");
  EXPECT_EQ(65535, full.capacity());
  appended += "xyz";
  exact += "a";  // these two end at the limit: whole, and not reported
  replaced.gsub("b", max.substr(1).c_str());
  grown.gsub("a", max.substr(0, 20000).c_str());
  const std::string line =
      "[String::error] ERROR : string longer than 65535 characters, truncated\n";
  EXPECT_EQ(line + line + line, capture.Stop());
  for (const String* s : {&big, &appended, &grown, &exact, &replaced}) {
    EXPECT_EQ(max, std::string(s->chars(), static_cast<size_t>(s->length())));
    EXPECT_EQ(1, s->OK());
  }
}
