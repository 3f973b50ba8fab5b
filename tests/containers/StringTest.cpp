#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "Regex.h"
#include "StderrCapture.h"
#include "String.h"

TEST(StringTest, GsubOfAInBananaGivesThree) {
  Regex a("a");
  String byRegex("banana");
  EXPECT_EQ(3, byRegex.gsub(a, "bb"));
  EXPECT_EQ("bbbnbbnbb", byRegex);
  String byText("banana");
  EXPECT_EQ(3, byText.gsub("a", "bb"));
  EXPECT_EQ("bbbnbbnbb", byText);

  struct Case {
    const char* text;
    const char* pattern;
    bool regex;
    const char* repl;
    int count;
    const char* result;
  } cases[] = {
      {"", "a", false, "b", 0, ""},  // empty string
      {"", "a", true, "b", 0, ""},
      {"abc", "", false, "x", 0, "abc"},         // empty pattern
      {"ab", "abc", false, "x", 0, "ab"},        // pattern longer than the string
      {"abc", "x*", true, "y", 0, "abc"},        // zero-length match at once
      {"aab", "a*", true, "X", 1, "Xb"},         // then zero-length: stop
      {"aaaa", "aa", false, "a", 2, "aa"},       // non-overlapping
      {"  a  b ", "^ +", true, "", 1, "a  b "},  // anchored once
      {"x y", " ", false, "", 1, "xy"},
  };
  for (const Case& c : cases) {
    String s(c.text);
    int count = c.regex ? s.gsub(Regex(c.pattern), c.repl) : s.gsub(c.pattern, c.repl);
    EXPECT_EQ(c.count, count) << c.text << " / " << c.pattern;
    EXPECT_EQ(c.result, s) << c.text << " / " << c.pattern;
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
  s += String("0123456789012345678901");  // 24 characters no longer fit
  EXPECT_EQ(54, s.capacity());
  EXPECT_EQ("ab0123456789012345678901", s);
}

TEST(StringTest, OutOfRangeSlicesAreEmptyAndReadOnly) {
  String s("hello");
  EXPECT_EQ("ell", String(s.at(1, 3)));
  EXPECT_TRUE(s.at(-1, 2).empty());
  EXPECT_TRUE(s.at(3, 5).empty());
  EXPECT_TRUE(s.before(6).empty());
  EXPECT_TRUE(s.from(-1).empty());
  EXPECT_EQ("hello", String(s.before(5)));
  EXPECT_EQ("lo", String(s.after(2)));
  EXPECT_EQ("hel", String(s.through(2)));
  s.at(-1, 2) = "zz";  // must not write into the shared empty string
  EXPECT_EQ("hello", s);
  EXPECT_EQ(0, _nilString.length());
  EXPECT_EQ('\0', s[5]);
  EXPECT_EQ('h', s[0]);
}

TEST(StringTest, BeforeAndAfterSplitAroundTheMatch) {
  Regex separator("[ :]+");
  String line("psstart:   /usr/bin/run  -x");
  EXPECT_EQ("psstart", String(line.before(separator)));
  EXPECT_EQ("/usr/bin/run  -x", String(line.after(separator)));
  EXPECT_EQ("-x", String(line.after(separator, 12)));
  EXPECT_EQ(":   ", String(line.at(separator)));
  EXPECT_EQ("psstart:   ", String(line.through(separator)));
  EXPECT_EQ("/usr/bin/run  -x", String(line.from("/")));
  EXPECT_EQ("bin/run  -x", String(line.after("/usr/")));
  String none("nothing");
  EXPECT_TRUE(none.before(separator).empty());
  EXPECT_TRUE(none.after(separator).empty());
  EXPECT_TRUE(none.before("/").empty());
  EXPECT_EQ(1, line.contains(separator));
  EXPECT_EQ(1, String("psname").matches(Regex("^[pP][sS][nN][aA][mM][eE]")));
  EXPECT_EQ(0, String("psnames").matches(Regex("^[pP][sS][nN][aA][mM][eE]")));
}

TEST(StringTest, SubStringAssignmentReplacesTheRange) {
  String s("hello world");
  s.before(" ") = "goodbye";
  EXPECT_EQ("goodbye world", s);
  s.after(" ") = s.before(" ");  // source inside the same string
  EXPECT_EQ("goodbye goodbye", s);
  s.at("good", 1) = 'G';
  EXPECT_EQ("goodbye Gbye", s);
  s.from(4) = "";
  EXPECT_EQ("good", s);
  EXPECT_EQ(1, s.OK());
}

TEST(StringTest, SearchFindsCharactersAndTextBothWays) {
  String s("abcabc");
  struct Case {
    int start;
    const char* t;
    int expected;
  } cases[] = {{0, "bc", 1},  {2, "bc", 4},   {5, "bc", -1},      {-1, "bc", 4}, {-2, "bc", 1},
               {-5, "ab", 0}, {-6, "ab", -1}, {0, "abcabcd", -1}, {0, "", -1},   {0, "cab", 2}};
  for (const Case& c : cases) {
    EXPECT_EQ(c.expected, s.search(c.start, s.length(), c.t)) << c.start << " " << c.t;
  }
  EXPECT_EQ(2, s.search(0, s.length(), 'c'));
  EXPECT_EQ(5, s.search(-1, s.length(), 'c'));
  EXPECT_EQ(2, s.search(-2, s.length(), 'c'));
  EXPECT_EQ(-1, s.search(0, 2, 'c'));  // only the first sl characters
  EXPECT_EQ(3, s.index('a', 1));
  EXPECT_EQ(-1, s.index('z'));
}

TEST(StringTest, ConcatenationAndComparison) {
  String s("ab");
  s += s;
  s += "c";
  s += 'd';
  s += String();
  EXPECT_EQ("ababcd", s);
  EXPECT_EQ("xababcd!", "x" + s + '!');
  EXPECT_EQ("abab", String(s.before("c")) + s.at(0, 0));
  String moved(std::move(s));
  EXPECT_EQ("ababcd", moved);
  String nullText(static_cast<const char*>(nullptr));
  EXPECT_TRUE(nullText.empty());
  EXPECT_LT(compare(String("abc"), "abd"), 0);
  EXPECT_GT(compare(String("abd"), String("abc")), 0);
  EXPECT_LT(compare(String("ab"), String("abc")), 0);
  EXPECT_EQ(0, compare(String("abc"), "abc"));
  EXPECT_TRUE(String("a") < String("b"));
  EXPECT_TRUE(String("\xff") > "a");  // bytes compare unsigned
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
  EXPECT_EQ(65535, full.length());
  EXPECT_EQ(65535, full.capacity());
  EXPECT_EQ("", quiet.Stop());

  const std::string report =
      "[String::error] ERROR : string longer than 65535 characters, truncated\n";
  String appended(full);
  StderrCapture capture;
  String big((max + "bcd").c_str());
  String fromLong((max + "bcd").c_str());
  appended += "xyz";
  String sum = full + full;
  String grown("aaaa");
  grown.gsub("a", max.substr(0, 20000).c_str());
  String replaced("xy");
  replaced.at(0, 1) = full;
  EXPECT_EQ(report + report + report + report + report + report, capture.Stop());
  for (const String* s : {&big, &fromLong, &appended, &sum, &grown, &replaced}) {
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
        if (String(line.before(separator)) != key.c_str() ||
            String(line.after(separator)) != value.c_str()) {
          ++wrong;
        }
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(0, wrong.load());
}
