#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <tuple>
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
  int mlen = -1, start = -1, length = -1;
  EXPECT_EQ(6, Search(end, "block end.", &mlen));
  EXPECT_EQ(4, mlen);
  ASSERT_TRUE(end.match_info(start, length));
  EXPECT_EQ("6/4", std::to_string(start) + "/" + std::to_string(length));
  EXPECT_FALSE(end.match_info(start, length, 10));
  EXPECT_EQ(-1, Search(end, "block end", &mlen));
  EXPECT_EQ(0, mlen);
  EXPECT_FALSE(end.match_info(start, length));
}

TEST(RegexTest, NegativePositionsCountFromTheEnd) {
  Regex abc("abc");
  const int matches[][2] = {{-3, 3}, {-4, -1}, {7, 3}, {11, -1}, {-11, -1}};
  for (const auto& m : matches) {
    EXPECT_EQ(m[1], abc.match("0123456abc", 10, m[0])) << m[0];
  }
  // A negative start searches backwards, so -1 finds the last occurrence.
  const int searches[][2] = {{-1, 7}, {-4, 0}, {1, 7}, {11, -1}};
  for (const auto& s : searches) {
    int mlen;
    EXPECT_EQ(s[1], Search(abc, "abcxxxxabc", &mlen, s[0])) << s[0];
  }
}

TEST(RegexTest, EmacsSyntaxWithNamedClasses) {
  // pattern, text, position, length
  const std::tuple<const char*, const char*, int, int> cases[] = {
      {R"(\(ab\)+)", "xababy", 1, 4},   {R"(cat\|dog)", "hotdog", 3, 3},
      {"[[:alpha:]]+", "12abC3", 2, 3}, {"^abc", "xabc", -1, 0},
      {"a(b)", "a(b)", 0, 4},           {"a{2}", "aa a{2}", 3, 4}};
  for (const auto& [pattern, text, pos, len] : cases) {
    int mlen = -1;
    EXPECT_EQ(pos, Search(Regex(pattern), text, &mlen)) << pattern << " in " << text;
    EXPECT_EQ(len, mlen) << pattern << " in " << text;
  }
}

TEST(RegexTest, GroupsComeBackWithTheirOperation) {
  Regex line(R"(^\([A-Za-z0-9]+\): ?\(.*\))", 1);
  Regex::Groups groups;
  EXPECT_EQ(7, line.match("pid: 42", 7, 0, &groups));
  int s1 = -1, l1 = -1, s2 = -1, l2 = -1;
  ASSERT_TRUE(groups.info(s1, l1, 1) && groups.info(s2, l2, 2));
  EXPECT_EQ((std::vector<int>{0, 3, 5, 2}), (std::vector<int>{s1, l1, s2, l2}));
  EXPECT_FALSE(groups.info(s1, l1, 3));
  EXPECT_EQ(-1, line.match("pid 42", 6, 0, &groups));
  EXPECT_FALSE(groups.info(s1, l1, 0));
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
  EXPECT_EQ(
      "Error Regex : Unmatched ( or \\(\nError Regex : Invalid character class name\n"
      "Error Regex : invariant failure \n",
      capture.Stop());

  StderrCapture quiet;
  EXPECT_EQ(1, Regex("ab").OK());
  EXPECT_EQ("", quiet.Stop());
}

TEST(RegexTest, PredefinedExpressionsMatchWhatTheirNamesSay) {
  const std::tuple<const Regex*, const char*, int, int> cases[] = {
      {&RXwhite, "ab \t\n\r\v\fcd", 2, 6},
      {&RXint, "x-42y", 1, 3},
      {&RXint, "abc", -1, 0},
      {&RXdouble, "v=-1.5e+3;", 2, 7},
      {&RXdouble, "x.25", 1, 3},
      {&RXdouble, "12.", 0, 3},
      {&RXalpha, "12abC3", 2, 3},
      {&RXlowercase, "ABcdE", 2, 2},
      {&RXuppercase, "abCDe", 2, 2},
      {&RXalphanum, "--a1B2--", 2, 4},
      {&RXidentifier, "9_x1 y", 1, 3},
      {&RXidentifier, "99 -", -1, 0}};
  for (const auto& [r, text, pos, len] : cases) {
    int mlen = -1;
    EXPECT_EQ(pos, Search(*r, text, &mlen)) << text;
    EXPECT_EQ(len, mlen) << text;
  }
}

TEST(RegexTest, ThreadsSharingOneRegexEachGetTheirOwnMatch) {
  const Regex item(R"(\([a-z]+\): \([0-9]+\))", 1);
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&item, &wrong, t] {
      // Each thread's text puts the match and its groups at other places.
      std::string text = std::string(static_cast<size_t>(t), ' ') +
                         std::string(static_cast<size_t>(t + 1), 'k') + ": " +
                         std::to_string(1000 * t) + " end";
      const int keyLen = t + 1, numLen = t == 0 ? 1 : 4;
      for (int i = 0; i < 500; ++i) {
        Regex::Groups g;
        int mlen = -1, s1 = -1, l1 = -1, s2 = -1, l2 = -1;
        int pos = item.search(text.data(), static_cast<int>(text.size()), mlen, 0, &g);
        wrong += pos != t || mlen != keyLen + 2 + numLen || !g.info(s1, l1, 1) || s1 != t ||
                 l1 != keyLen || !g.info(s2, l2, 2) || s2 != t + keyLen + 2 || l2 != numLen;
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(0, wrong.load());
}
