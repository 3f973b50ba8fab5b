#include "ProgramLogs.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <deque>
#include <thread>
#include <utility>
#include <vector>

#include "SystemError.h"

namespace {

// The whole of the file at path from offset on; false when it cannot be
// opened.
bool ReadFrom(const std::string& path, off_t offset, std::string* text, struct stat* status) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  fstat(fd, status);
  text->clear();
  char buffer[65536];
  ssize_t n;
  off_t at = offset;
  while ((n = pread(fd, buffer, sizeof buffer, at)) > 0 || (n < 0 && errno == EINTR)) {
    if (n > 0) {
      text->append(buffer, static_cast<size_t>(n));
      at += n;
    }
  }
  close(fd);
  return true;
}

// Splits text into lines, a last unterminated one included.
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t begin = 0;
  while (begin < text.size()) {
    size_t end = text.find('\n', begin);
    end = end == std::string::npos ? text.size() : end + 1;
    lines.push_back(text.substr(begin, end - begin));
    begin = end;
  }
  return lines;
}

}  // namespace

ProgramLogs::ProgramLogs(std::string file) : path(std::move(file)) {}

bool ProgramLogs::Tail(size_t wanted, std::ostream& out, std::string* error) {
  std::string text;
  struct stat status {};
  if (!ReadFrom(path, 0, &text, &status)) {
    *error = "no output log at " + path + ": " + SystemError::Text(errno);
    return false;
  }
  offset = static_cast<off_t>(text.size());
  inode = status.st_ino;
  std::deque<std::string> kept;
  std::vector<std::string> lines = Lines(text);
  for (int rotated = 1; lines.size() < wanted && rotated <= kMaxRotated; ++rotated) {
    std::string older;
    struct stat ignored {};
    if (!ReadFrom(path + "." + std::to_string(rotated), 0, &older, &ignored)) {
      break;
    }
    std::vector<std::string> both = Lines(older);
    both.insert(both.end(), lines.begin(), lines.end());
    lines.swap(both);
  }
  const size_t first = lines.size() > wanted ? lines.size() - wanted : 0;
  for (size_t i = first; i < lines.size(); ++i) {
    out << lines[i];
  }
  return true;
}

void ProgramLogs::Follow(std::ostream& out, const std::function<bool()>& done, unsigned pollMs) {
  while (!done()) {
    struct stat now {};
    if (stat(path.c_str(), &now) == 0 && (now.st_ino != inode || now.st_size < offset)) {
      // Rotated (or emptied): what the old file got last is in FILE.1.
      if (now.st_ino != inode) {
        std::string rest;
        struct stat old {};
        if (ReadFrom(path + ".1", offset, &rest, &old) && old.st_ino == inode) {
          out << rest;
        }
      }
      inode = now.st_ino;
      offset = 0;
    }
    std::string text;
    struct stat status {};
    if (ReadFrom(path, offset, &text, &status) && status.st_ino == inode && !text.empty()) {
      out << text << std::flush;
      offset += static_cast<off_t>(text.size());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(pollMs));
  }
}
