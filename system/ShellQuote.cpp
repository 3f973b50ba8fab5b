#include "ShellQuote.h"

#include <cctype>

namespace {

bool Plain(const std::string& word) {
  if (word.empty()) {
    return false;
  }
  for (unsigned char c : word) {
    if (!isalnum(c) && std::string("_@%+=:,./-").find(static_cast<char>(c)) == std::string::npos) {
      return false;
    }
  }
  return true;
}

bool EndMarkerAt(const std::string& word, size_t i) {
  return i + 3 < word.size() && tolower(static_cast<unsigned char>(word[i])) == 'e' &&
         tolower(static_cast<unsigned char>(word[i + 1])) == 'n' &&
         tolower(static_cast<unsigned char>(word[i + 2])) == 'd' &&
         (word[i + 3] == '.' || word[i + 3] == ';' || word[i + 3] == ',');
}

bool HasEndMarker(const std::string& word) {
  for (size_t i = 0; i < word.size(); ++i) {
    if (EndMarkerAt(word, i)) {
      return true;
    }
  }
  return false;
}

}  // namespace

std::string ShellQuote::Word(const std::string& word) {
  if (Plain(word) && !HasEndMarker(word)) {
    return word;
  }
  std::string quoted = "'";
  for (size_t i = 0; i < word.size(); ++i) {
    if (word[i] == '\'') {
      quoted += "'\\''";
      continue;
    }
    quoted += word[i];
    // After "en" of a marker: close and reopen the quotes, which the shell
    // joins back into one word.
    if (i >= 1 && EndMarkerAt(word, i - 1)) {
      quoted += "''";
    }
  }
  quoted += "'";
  return quoted;
}

std::string ShellQuote::Line(const std::vector<std::string>& words) {
  std::string line;
  for (const std::string& word : words) {
    if (!line.empty()) {
      line += ' ';
    }
    line += Word(word);
  }
  return line;
}
