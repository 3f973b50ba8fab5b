#include "ProcessStartTime.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

namespace {

// Fields after the command name: the state is field 3, the start time 22.
constexpr int kFieldsBeforeStartTime = 22 - 3;

// A stat line is a few hundred bytes; the command name alone is at most 64.
constexpr size_t kStatSize = 4096;

}  // namespace

bool ProcessStartTime::Parse(const std::string& stat, unsigned long long& ticks) {
  const size_t close = stat.rfind(')');
  if (close == std::string::npos || stat.find('(') > close) {
    return false;
  }
  size_t at = close + 1;
  for (int field = 0; field <= kFieldsBeforeStartTime; ++field) {
    if (at >= stat.size() || stat[at] != ' ') {
      return false;
    }
    ++at;
    const size_t end = stat.find(' ', at);
    if (field < kFieldsBeforeStartTime) {
      if (end == std::string::npos || end == at) {
        return false;
      }
      at = end;
      continue;
    }
    const std::string number = stat.substr(at, end == std::string::npos ? end : end - at);
    if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) {
      return false;
    }
    errno = 0;
    const unsigned long long value = strtoull(number.c_str(), nullptr, 10);
    if (errno == ERANGE) {
      return false;
    }
    ticks = value;
    return true;
  }
  return false;
}

bool ProcessStartTime::Read(int pid, unsigned long long& ticks) {
  if (pid < 1) {
    return false;
  }
  char path[32];
  snprintf(path, sizeof path, "/proc/%d/stat", pid);
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  std::string stat(kStatSize, '\0');
  size_t filled = 0;
  while (filled < stat.size()) {
    const ssize_t got = read(fd, &stat[filled], stat.size() - filled);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      break;
    }
    filled += static_cast<size_t>(got);
  }
  close(fd);
  stat.resize(filled);
  while (!stat.empty() && stat.back() == '\n') {
    stat.pop_back();
  }
  return Parse(stat, ticks);
}
