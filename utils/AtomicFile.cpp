#include "AtomicFile.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "SystemError.h"

namespace {

bool Fail(const std::string& step, const std::string& path, int error, std::string* text) {
  if (text != nullptr) {
    *text = step + " '" + path + "': " + SystemError::Text(error);
  }
  return false;
}

}  // namespace

bool AtomicFile::Replace(const std::string& path, const std::string& content, mode_t mode,
                         std::string* error) {
  const size_t slash = path.rfind('/');
  const std::string directory = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  std::string pattern = directory + "." + name + ".XXXXXX";
  std::vector<char> temporary(pattern.begin(), pattern.end());
  temporary.push_back('\0');

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
  size_t written = 0;
  while (failure == 0 && written < content.size()) {
    const ssize_t n = write(fd, content.data() + written, content.size() - written);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      failure = n < 0 ? errno : EIO;
      step = "cannot write";
      break;
    }
    written += static_cast<size_t>(n);
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
