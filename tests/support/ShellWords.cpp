#include "ShellWords.h"

#include "TestCommon.h"

std::vector<std::string> ShellWordList(const std::string& line) {
  // sh prints each word it made ended by a NUL byte, which no word holds.
  const std::string command = "/usr/bin/sh -c 'printf \"%s\\0\" \"$@\"' sh " + line;
  FILE* pipe = popen(command.c_str(), "r");
  std::string words;
  char buffer[256];
  size_t n;
  while (pipe != nullptr && (n = fread(buffer, 1, sizeof buffer, pipe)) > 0) {
    words.append(buffer, n);
  }
  if (pipe != nullptr) {
    pclose(pipe);
  }
  std::vector<std::string> list;
  for (size_t begin = 0, end; (end = words.find('\0', begin)) != std::string::npos;
       begin = end + 1) {
    list.push_back(words.substr(begin, end - begin));
  }
  return list;
}
