#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "Regex.h"
#include "StderrCapture.h"

namespace {

int Search(const Regex& r, const std::string& text, int* mlen, int startpos = 0) {
  return r.search(text.data(), static_cast<int>(text.size()), *mlen, startpos);
}

}  // namespace

TEST(RegexTest, SearchFindsEndMarkerAndRegistersItsSpan) {
  Regex end("[eE][nN][dD][.;,]", 1);
  int mlen = -1;
  EXPECT_EQ(6, Search(end, "block end.", &mlen));
  EXPECT_EQ(4, mlen);
  int start = -1;
  int length = -1;
  ASSERT_TRUE(end.match_info(start, length));
  EXPECT_EQ(6, start);
  EXPECT_EQ(4, length);
  EXPECT_FALSE(end.match_info(start, length, 10));
  EXPECT_EQ(-1, Search(end, "block end", &mlen));
  EXPECT_EQ(0, mlen);
  EXPECT_FALSE(end.match_info(start, length));
}

TEST(RegexTest, NegativePositionsCountFromTheEnd) {
  Regex abc("abc");
  EXPECT_EQ(3, abc.match("0123456abc", 10, -3));
  EXPECT_EQ(-1, abc.match("0123456abc", 10, -4));
  EXPECT_EQ(3, abc.match("0123456abc", 10, 7));
  EXPECT_EQ(-1, abc.match("0123456abc", 10, 11));
  EXPECT_EQ(-1, abc.match("0123456abc", 10, -11));
  int mlen;
  EXPECT_EQ(7, Search(abc, "abcxxxxabc", &mlen, -1));  // backwards: the last one
  EXPECT_EQ(0, Search(abc, "abcxxxxabc", &mlen, -4));
  EXPECT_EQ(7, Search(abc, "abcxxxxabc", &mlen, 1));
  EXPECT_EQ(-1, Search(abc, "abcxxxxabc", &mlen, 11));
}

TEST(RegexTest, EmacsSyntaxWithNamedClasses) {
  struct Case {
    const char* pattern;
    const char* text;
    int pos;
    int len;
  } cases[] = {
      {R"(\(ab\)+)", "xababy", 1, 4},   {R"(cat\|dog)", "hotdog", 3, 3},
      {"colou?r", "color", 0, 5},       {"a+", "baaa", 1, 3},
      {"[[:alpha:]]+", "12abC3", 2, 3}, {"[[:digit:][:space:]]+", "ab1 2c", 2, 3},
      {"[[:upper:]]", "abCd", 2, 1},    {"^abc", "xabc", -1, 0},
      {"abc$", "abcx", -1, 0},          {"abc$", "xabc", 1, 3},
      {"a(b)", "a(b)", 0, 4},           {"a{2}", "aa a{2}", 3, 4},
  };
  for (const Case& c : cases) {
    Regex r(c.pattern);
    int mlen = -1;
    EXPECT_EQ(c.pos, Search(r, c.text, &mlen)) << c.pattern << " in " << c.text;
    EXPECT_EQ(c.len, mlen) << c.pattern << " in " << c.text;
  }
}

TEST(RegexTest, GroupsComeBackWithTheirOperation) {
  Regex line(R"(^\([A-Za-z0-9]+\): ?\(.*\))", 1);
  Regex::Groups groups;
  EXPECT_EQ(7, line.match("pid: 42", 7, 0, &groups));
  int start = -1;
  int length = -1;
  ASSERT_TRUE(groups.info(start, length, 1));
  EXPECT_EQ(0, start);
  EXPECT_EQ(3, length);
  ASSERT_TRUE(groups.info(start, length, 2));
  EXPECT_EQ(5, start);
  EXPECT_EQ(2, length);
  EXPECT_FALSE(groups.info(start, length, 3));
  EXPECT_EQ(-1, line.match("pid 42", 6, 0, &groups));
  EXPECT_FALSE(groups.info(start, length, 0));
}

TEST(RegexTest, BadPatternIsReportedAndNeverMatches) {
  StderrCapture capture;
  Regex bad(R"(\(ab)");
  Regex badClass("[[:nope:]]");
  int mlen = -1;
  EXPECT_EQ(-1, Search(bad, "(ab", &mlen));
  EXPECT_EQ(0, mlen);
  EXPECT_EQ(-1, bad.match("ab", 2));
  EXPECT_EQ(0, bad.OK());
  std::string text = capture.Stop();
  EXPECT_NE(std::string::npos, text.find("Error Regex : Unmatched ( or \\(\n")) << text;
  EXPECT_NE(std::string::npos, text.find("Error Regex : Invalid character class name\n")) << text;
  EXPECT_NE(std::string::npos, text.find("Error Regex : invariant failure \n")) << text;

  StderrCapture quiet;
  EXPECT_EQ(1, Regex("ab").OK());
  EXPECT_EQ("", quiet.Stop());
}

TEST(RegexTest, PredefinedExpressionsMatchWhatTheirNamesSay) {
  struct Case {
    const Regex* r;
    const char* text;
    int pos;
    int len;
  } cases[] = {
      {&RXwhite, "ab \t\n\r\v\fcd", 2, 6},
      {&RXwhite, "abcd", -1, 0},
      {&RXint, "x-42y", 1, 3},
      {&RXint, "abc", -1, 0},
      {&RXdouble, "v=-1.5e+3;", 2, 7},
      {&RXdouble, "x.25", 1, 3},
      {&RXdouble, "7e-5", 0, 4},
      {&RXdouble, "12.", 0, 3},
      {&RXalpha, "12abC3", 2, 3},
      {&RXlowercase, "ABcdE", 2, 2},
      {&RXuppercase, "abCDe", 2, 2},
      {&RXalphanum, "--a1B2--", 2, 4},
      {&RXidentifier, "9_x1 y", 1, 3},
      {&RXidentifier, "99 -", -1, 0},
  };
  for (const Case& c : cases) {
    int mlen = -1;
    EXPECT_EQ(c.pos, Search(*c.r, c.text, &mlen)) << c.text;
    EXPECT_EQ(c.len, mlen) << c.text;
  }
}

TEST(RegexTest, ThreadsSharingOneRegexEachGetTheirOwnMatch) {
  const Regex item(R"(\([a-z]+\): \([0-9]+\))", 1);
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&item, &wrong, t] {
      // Each thread's text puts the match and its groups at other places.
      std::string key(static_cast<size_t>(t + 1), 'k');
      std::string text =
          std::string(static_cast<size_t>(t), ' ') + key + ": " + std::to_string(1000 * t) + " end";
      int keyLen = t + 1;
      int numLen = t == 0 ? 1 : 4;
      for (int i = 0; i < 500; ++i) {
        Regex::Groups g;
        int mlen = -1;
        int s1 = -1, l1 = -1, s2 = -1, l2 = -1;
        int pos = item.search(text.data(), static_cast<int>(text.size()), mlen, 0, &g);
        if (pos != t || mlen != keyLen + 2 + numLen || !g.info(s1, l1, 1) || s1 != t ||
            l1 != keyLen || !g.info(s2, l2, 2) || s2 != t + keyLen + 2 || l2 != numLen) {
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
