#include "Regex.h"
#include "StderrCapture.h"
#include "String.h"

namespace {

// Where the search finds a match, and its length.
std::pair<int, int> Search(const Regex& r, const std::string& text, int startpos = 0) {
  int mlen = -1;
  const int pos = r.search(text.data(), static_cast<int>(text.size()), mlen, startpos);
  return {pos, mlen};
}

}  // namespace

TEST(RegexTest, SearchFindsTheFirstMatchInEmacsSyntaxAndWithThePredefinedExpressions) {
  const Regex end("[eE][nN][dD][.;,]", 1), group(R"(\(ab\)+)"), either(R"(cat\|dog)");
  const Regex literal("a(b){2}"), alpha("^[[:alpha:]]+");
  // expression, text, position, length
  const std::tuple<const Regex*, const char*, int, int> cases[] = {
      {&end, "block end.", 6, 4},      {&end, "block end", -1, 0},
      {&group, "xababy", 1, 4},        {&either, "hotdog", 3, 3},
      {&literal, "a(b){2}", 0, 7},     {&alpha, "abC3", 0, 3},
      {&alpha, "1abC", -1, 0},         {&RXwhite, "ab \t\n\r\v\fcd", 2, 6},
      {&RXint, "x-42y", 1, 3},         {&RXdouble, "v=-1.5e+3;", 2, 7},
      {&RXdouble, "x.25", 1, 3},       {&RXalpha, "12abC3", 2, 3},
      {&RXlowercase, "ABcdE", 2, 2},   {&RXuppercase, "abCDe", 2, 2},
      {&RXalphanum, "--a1B2--", 2, 4}, {&RXidentifier, "9_x1 y", 1, 3}};
  for (const auto& [r, text, pos, len] : cases) {
    EXPECT_EQ(std::pair(pos, len), Search(*r, text)) << text;
  }
}

TEST(RegexTest, NegativePositionsCountFromTheEnd) {
  Regex abc("abc");
  // position, match length there, search result (a negative start searches backwards)
  const int cases[][3] = {{-3, 3, 7}, {-4, -1, 0},  {-1, -1, 7},  {1, -1, 7},
                          {7, 3, 7},  {11, -1, -1}, {-11, -1, -1}};
  for (const auto& c : cases) {
    EXPECT_EQ(c[1], abc.match("abcxxxxabc", 10, c[0])) << c[0];
    EXPECT_EQ(c[2], Search(abc, "abcxxxxabc", c[0]).first) << c[0];
  }
}

TEST(RegexTest, ExtendedSyntaxReadsOperatorsUnescapedAndABadPatternIsReportedAndNeverMatches) {
  // pattern, text, match length from 0 in extended syntax, and in Emacs syntax
  const std::tuple<const char*, const char*, int, int> cases[] = {
      {"(ab)+", "ababx", 4, -1},      {"(ab)+", "(ab)))", -1, 6}, {"cat|dog", "dog", 3, -1},
      {"cat|dog", "cat|dog", 3, 7},   {"a{2,3}", "aaaa", 3, -1},  {"a{2,3}", "a{2,3}", -1, 6},
      {"[[:digit:]]+x", "42x", 3, 3}, {"^(a|ab)$", "ab", 2, -1}};
  for (const auto& [pattern, text, extended, emacs] : cases) {
    const int length = static_cast<int>(strlen(text));
    EXPECT_EQ(extended, Regex(pattern, Regex::kExtended).match(text, length)) << pattern;
    EXPECT_EQ(emacs, Regex(pattern).match(text, length)) << pattern;
  }
  StderrCapture capture;
  Regex bad(R"(\(ab)");
  EXPECT_EQ(std::pair(-1, 0), Search(bad, "(ab"));
  EXPECT_EQ(-1, bad.match("ab", 2));
  // ")" alone is a literal in Emacs syntax.
  EXPECT_EQ((std::vector<int>{0, 0, 0, 1}),
            (std::vector<int>{bad.OK(), Regex("a)", Regex::kExtended).OK(),
                              Regex("(a", Regex::kExtended).OK(), Regex("a)").OK()}));
  const std::string open = "Error Regex : Unmatched ( or \\(\n",
                    invariant = "Error Regex : invariant failure \n";
  EXPECT_EQ(open + invariant + "Error Regex : Unmatched ) or \\)\n" + invariant + open + invariant,
            capture.Stop());
}

// Each thread's match, groups and split sit elsewhere in its own text.
TEST(RegexTest, ThreadsSharingOneRegexEachGetTheirOwnMatchGroupsAndSplits) {
  const Regex item(R"(\([a-z]+\): \([0-9]+\))", 1), separator("[ :]+", 1);
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&item, &separator, &wrong, t] {
      const std::string text = std::string(t, ' ') + std::string(t + 1, 'k') + ": 7 end";
      const std::string key(static_cast<size_t>(t + 1), static_cast<char>('a' + t));
      const std::string value = std::to_string(t * 37);
      String line((key + std::string(static_cast<size_t>(t % 3 + 1), ':') + value).c_str());
      for (int i = 0; i < 500; ++i) {
        Regex::Groups g;
        int mlen = -1, s1 = -1, l1 = -1, s2 = -1, l2 = -1;
        int pos = item.search(text.data(), static_cast<int>(text.size()), mlen, 0, &g);
        wrong += pos != t || mlen != t + 4 || !g.info(s1, l1, 1) || l1 != t + 1 ||
                 !g.info(s2, l2, 2) || s2 != 2 * t + 3;
      }
      // A phase of its own, so that all threads contend on one regex at a time.
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
