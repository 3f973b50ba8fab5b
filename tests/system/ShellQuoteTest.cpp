// The registered start command gives back exactly its words through
// /usr/bin/sh, and never holds the text that ends an order block.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "ShellQuote.h"
#include "ShellWords.h"

TEST(ShellQuoteTest, ShellGivesBackEveryWordAndNoEndMarkerSurvives) {
  const std::vector<std::vector<std::string>> cases = {
      {"/usr/bin/vigilctl", "run", "--", "python3", "-m", "http.server", "8000"},
      {"sh", "-c", "sleep 3; exit 3"},
      {"it's", "\"quoted\"", "$HOME", "`id`", "a\\b", "*", "", " lead", "tab\there"},
      {"backend.exe", "THE END;", "end,end.end;", "weekend.", "'end.'", "en", "d."},
  };
  static const std::regex kEndMarker("[eE][nN][dD][.;,]");
  for (const auto& words : cases) {
    const std::string line = ShellQuote::Line(words);
    EXPECT_FALSE(std::regex_search(line, kEndMarker)) << line;
    std::string expected;
    for (const std::string& word : words) {
      expected += word + std::string(1, '\0');
    }
    EXPECT_EQ(expected, ShellWords(line)) << line;
  }
  EXPECT_EQ("http.server", ShellQuote::Word("http.server"));
  EXPECT_EQ("'sleep 3; exit 3'", ShellQuote::Word("sleep 3; exit 3"));
}
