#include "AtomicFile.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>
#include <vector>

#include "SystemError.h"

namespace {

bool Fail(const std::string& step, const std::string& path, int error, std::string* text) {
  if (text != nullptr) {
    *text = step + " '" + path + "': " + SystemError::Text(error);
  }
  return false;
}

// Writes all of content from offset 0; 0 or the errno of the failure.
int WriteAll(int fd, const std::string& content) {
  size_t written = 0;
  while (written < content.size()) {
    const ssize_t n = pwrite(fd, content.data() + written, content.size() - written,
                             static_cast<off_t>(written));
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return n < 0 ? errno : EIO;
    }
    written += static_cast<size_t>(n);
  }
  return 0;
}

// "dir/name" -> "dir/.name" + suffix.
std::string HiddenBeside(const std::string& path, const char* suffix) {
  const size_t slash = path.rfind('/');
  const std::string directory = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  return directory + "." + name + suffix;
}

}  // namespace

AtomicFile::AtomicFile(std::string target, mode_t bits) : path(std::move(target)), mode(bits) {}

bool AtomicFile::Replace(const std::string& content, std::string* error) const {
  return Replace(path, content, mode, error);
}

bool AtomicFile::Replace(const std::string& path, const std::string& content, mode_t mode,
                         std::string* error) {
  const std::string pattern = HiddenBeside(path, ".XXXXXX");
  std::vector<char> temporary(pattern.begin(), pattern.end());
  temporary.push_back('\0');

  // mkostemp creates with O_EXCL: a name planted in the directory, link or
  // file, is never opened, and another is drawn instead.
  const int fd = mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) {
    return Fail("cannot create a temporary file for", path, errno, error);
  }
  const std::string temporaryPath(temporary.data());
  int failure = 0;
  std::string step;
  if (fchmod(fd, mode) != 0) {
    failure = errno;
    step = "cannot set the mode of";
  }
  if (failure == 0) {
    failure = WriteAll(fd, content);
    step = "cannot write";
  }
  if (close(fd) != 0 && failure == 0) {
    failure = errno;
    step = "cannot write";
  }
  if (failure == 0 && rename(temporaryPath.c_str(), path.c_str()) != 0) {
    failure = errno;
    step = "cannot rename a temporary file over";
  }
  if (failure != 0) {
    unlink(temporaryPath.c_str());
    return Fail(step, path, failure, error);
  }
  return true;
}
