#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "Regex.h"
#include "StderrCapture.h"
#include "String.h"

namespace {

// A slice, converted, next to the text it should hold.
using Slice = std::pair<String, const char*>;

int Sign(int n) { return (n > 0) - (n < 0); }

}  // namespace

TEST(StringTest, GsubOfAInBananaGivesThree) {
  // text, pattern, replacement, by regex, count, result
  const std::tuple<const char*, const char*, const char*, bool, int, const char*> cases[] = {
      {"banana", "a", "bb", true, 3, "bbbnbbnbb"},
      {"banana", "a", "bb", false, 3, "bbbnbbnbb"},
      {"", "a", "b", false, 0, ""},
      {"abc", "", "x", false, 0, "abc"},
      {"ab", "abc", "x", false, 0, "ab"},
      {"aaaa", "aa", "a", false, 2, "aa"},
      {"abc", "x*", "y", true, 0, "abc"},  // a zero-length match ends the work
      {"aab", "a*", "X", true, 1, "Xb"},
      {"  a  b ", "^ +", "", true, 1, "a  b "}};
  for (const auto& [text, pattern, repl, regex, count, result] : cases) {
    String s(text);
    EXPECT_EQ(count, regex ? s.gsub(Regex(pattern), repl) : s.gsub(pattern, repl)) << pattern;
    EXPECT_EQ(result, s) << text << " / " << pattern;
    EXPECT_EQ(1, s.OK());
  }
}

TEST(StringTest, CapacityFollowsPowerOfTwoBlocks) {
  const int cases[][2] = {{0, 0}, {1, 6}, {6, 6}, {7, 22}, {12, 22}, {22, 22}, {23, 54}, {55, 118}};
  for (const auto& c : cases) {
    String s(std::string(static_cast<size_t>(c[0]), 'x').c_str());
    EXPECT_EQ(c[0], s.length());
    EXPECT_EQ(c[1], s.capacity()) << c[0];
  }
  String s("twelve chars");
  s = "ab";  // fits: the representation is kept
  EXPECT_EQ(22, s.capacity());
  s += String("0123456789012345678901");
  EXPECT_EQ(54, s.capacity());
  EXPECT_EQ("ab0123456789012345678901", s);
}

TEST(StringTest, OutOfRangeSlicesAreEmptyAndReadOnlyAndAssignmentReplacesTheRange) {
  String s("hello");
  const Slice slices[] = {{s.at(1, 3), "ell"}, {s.at(-1, 2), ""},    {s.at(3, 5), ""},
                          {s.before(6), ""},   {s.from(-1), ""},     {s.before(5), "hello"},
                          {s.after(2), "lo"},  {s.through(2), "hel"}};
  for (const auto& [slice, text] : slices) {
    EXPECT_EQ(text, slice);
  }
  s.at(-1, 2) = "zz";  // must not write into the shared empty string
  EXPECT_EQ("hello", s);
  EXPECT_EQ(0, _nilString.length());
  EXPECT_EQ('\0', s[5]);
  EXPECT_EQ('h', s[0]);

  s = "hello world";
  s.before(" ") = "goodbye";
  s.after(" ") = s.before(" ");  // source inside the same string
  s.at("good", 1) = 'G';
  EXPECT_EQ("goodbye Gbye", s);
  s.from(4) = "";
  EXPECT_EQ("good", s);
  EXPECT_EQ(1, s.OK());
}

TEST(StringTest, BeforeAndAfterSplitAroundTheMatch) {
  Regex sep("[ :]+");
  String line("psstart:   /usr/bin/run  -x"), none("nothing");
  const Slice slices[] = {{line.before(sep), "psstart"},
                          {line.after(sep), "/usr/bin/run  -x"},
                          {line.after(sep, 12), "-x"},
                          {line.at(sep), ":   "},
                          {line.through(sep), "psstart:   "},
                          {line.from("/"), "/usr/bin/run  -x"},
                          {line.after("/usr/"), "bin/run  -x"},
                          {none.before(sep), ""},
                          {none.after(sep), ""},
                          {none.before("/"), ""}};
  for (const auto& [slice, text] : slices) {
    EXPECT_EQ(text, slice);
  }
  EXPECT_EQ(1, line.contains(sep));
  EXPECT_EQ(1, String("psname").matches(Regex("^[pP][sS][nN][aA][mM][eE]")));
  EXPECT_EQ(0, String("psnames").matches(Regex("^[pP][sS][nN][aA][mM][eE]")));
}

TEST(StringTest, SearchFindsCharactersAndTextBothWays) {
  String s("abcabc");
  // start (negative: backwards), characters searched, text, position
  const std::tuple<int, int, const char*, int> cases[] = {
      {0, 6, "bc", 1},  {2, 6, "bc", 4},  {5, 6, "bc", -1},  {-1, 6, "bc", 4},
      {-2, 6, "bc", 1}, {-5, 6, "ab", 0}, {-6, 6, "ab", -1}, {0, 6, "abcabcd", -1},
      {0, 6, "", -1},   {0, 6, "cab", 2}, {0, 6, "c", 2},    {-1, 6, "c", 5},
      {0, 2, "c", -1}};
  for (const auto& [start, sl, t, expected] : cases) {
    EXPECT_EQ(expected, s.search(start, sl, t)) << start << " " << t;
    if (t[0] != '\0' && t[1] == '\0') {
      EXPECT_EQ(expected, s.search(start, sl, t[0])) << start << " " << t;
    }
  }
  EXPECT_EQ(3, s.index('a', 1));
}

TEST(StringTest, ConcatenationAndUnsignedComparison) {
  String s("ab");
  s += s;
  s += "c";
  s += 'd';
  EXPECT_EQ("xababcd!", "x" + s + '!');
  EXPECT_EQ("abab", String(s.before("c")) + s.at(0, 0));
  EXPECT_EQ("ababcd", String(std::move(s)));
  EXPECT_TRUE(String(static_cast<const char*>(nullptr)).empty());
  const std::tuple<const char*, const char*, int> cases[] = {{"abc", "abd", -1}, {"abd", "abc", 1},
                                                             {"ab", "abc", -1},  {"abc", "abc", 0},
                                                             {"\xff", "a", 1},   {"", "a", -1}};
  for (const auto& [a, b, sign] : cases) {
    EXPECT_EQ(sign, Sign(compare(String(a), String(b)))) << a << " " << b;
    EXPECT_EQ(sign, Sign(compare(String(a), b))) << a << " " << b;
  }
  String up("MiXed 1");
  up.upcase();
  EXPECT_EQ("MIXED 1", up);
  up.downcase();
  EXPECT_EQ("mixed 1", up);
}

TEST(StringTest, TextBeyondTheLengthLimitIsTruncatedWithOneReport) {
  const std::string max(String::kMaxLength, 'a');
  StderrCapture quiet;
  String full(max.c_str());
  EXPECT_EQ(65535, full.capacity());
  EXPECT_EQ("", quiet.Stop());

  String appended(full);
  StderrCapture capture;
  String big((max + "bcd").c_str());
  appended += "xyz";
  String sum = full + full;
  String grown("aaaa");
  grown.gsub("a", max.substr(0, 20000).c_str());
  String replaced("xy");
  replaced.at(0, 1) = full;
  const std::string line =
      "[String::error] ERROR : string longer than 65535 characters, truncated\n";
  EXPECT_EQ(line + line + line + line + line, capture.Stop());
  for (const String* s : {&full, &big, &appended, &sum, &grown, &replaced}) {
    EXPECT_EQ(65535, s->length());
    EXPECT_EQ(1, s->OK());
    EXPECT_EQ(0, compare(*s, max.c_str()));
  }
}

TEST(StringTest, ThreadsSplittingWithOneSharedRegexGetTheirOwnSplits) {
  const Regex separator("[ :]+", 1);
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&separator, &wrong, t] {
      std::string key(static_cast<size_t>(t + 1), static_cast<char>('a' + t));
      std::string value = std::to_string(t * 37);
      String line((key + std::string(static_cast<size_t>(t % 3 + 1), ':') + value).c_str());
      for (int i = 0; i < 500; ++i) {
        wrong += String(line.before(separator)) != key.c_str() ||
                 String(line.after(separator)) != value.c_str();
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(0, wrong.load());
}
