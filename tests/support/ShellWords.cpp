#include "ShellWords.h"

#include "TestCommon.h"

std::string ShellWords(const std::string& line) {
  const std::string command = "/usr/bin/sh -c 'printf \"%s\\0\" \"$@\"' sh " + line;
  FILE* pipe = popen(command.c_str(), "r");
  std::string out;
  char buffer[256];
  size_t n;
  while (pipe != nullptr && (n = fread(buffer, 1, sizeof buffer, pipe)) > 0) {
    out.append(buffer, n);
  }
  if (pipe != nullptr) {
    pclose(pipe);
  }
  return out;
}

std::vector<std::string> ShellWordList(const std::string& line) {
  const std::string words = ShellWords(line);
  std::vector<std::string> list;
  for (size_t begin = 0, end; (end = words.find('\0', begin)) != std::string::npos;
       begin = end + 1) {
    list.push_back(words.substr(begin, end - begin));
  }
  return list;
}
