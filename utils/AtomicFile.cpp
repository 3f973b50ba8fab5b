#include "AtomicFile.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
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

// How long ago a file time was; negative when the clock went back past it.
long long WallAgeMs(const struct timespec& then) {
  struct timespec now {};
  clock_gettime(CLOCK_REALTIME, &now);
  return (static_cast<long long>(now.tv_sec) - then.tv_sec) * 1000 +
         (static_cast<long long>(now.tv_nsec) - then.tv_nsec) / 1000000;
}

// "dir/name" -> "dir/.name" + suffix.
std::string HiddenBeside(const std::string& path, const char* suffix) {
  const size_t slash = path.rfind('/');
  const std::string directory = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  return directory + "." + name + suffix;
}

}  // namespace

AtomicFile::AtomicFile(std::string target, mode_t bits, std::chrono::milliseconds rest)
    : path(std::move(target)),
      sparePath(HiddenBeside(path, ".spare")),
      mode(bits),
      spareRest(rest) {}

AtomicFile::~AtomicFile() { _DropAll(); }

bool AtomicFile::Replace(const std::string& content, std::string* error) {
  const Outcome outcome = _ReplaceThroughSpare(content, error);
  if (outcome != Outcome::kNotHere) {
    return outcome == Outcome::kDone;
  }
  // A new file takes the target's name: the one held there is gone from it.
  _Drop(current);
  return Replace(path, content, mode, error);
}

void AtomicFile::RemoveSpare() {
  _DropAll();
  unlink(sparePath.c_str());
}

void AtomicFile::_Drop(Held& held) {
  if (held.fd >= 0) {
    close(held.fd);
  }
  held = Held();
}

void AtomicFile::_DropAll() {
  _Drop(spare);
  _Drop(current);
}

bool AtomicFile::_TakeSpare() {
  // O_NOFOLLOW: whatever sits at the spare's name is written only if it is
  // a plain file of its own.
  const int fd = open(sparePath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, mode);
  if (fd < 0) {
    if (errno == ELOOP) {
      unlink(sparePath.c_str());
    }
    return false;
  }
  struct stat opened;
  struct stat named;
  // Another writer of this target holds the spare: leave it to it. Locked,
  // it may still have been swapped to the target's name between the open
  // and the lock: then it is the file readers open.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0 || fstat(fd, &opened) != 0 ||
      fstatat(AT_FDCWD, sparePath.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
      named.st_dev != opened.st_dev || named.st_ino != opened.st_ino) {
    close(fd);
    return false;
  }
  spare.fd = fd;
  spare.dev = opened.st_dev;
  spare.ino = opened.st_ino;
  return true;
}

AtomicFile::Outcome AtomicFile::_ReplaceThroughSpare(const std::string& content,
                                                     std::string* error) {
  const auto now = std::chrono::steady_clock::now();
  if (!exchangeWorks || now - lastExchange < spareRest) {
    return Outcome::kNotHere;
  }
  // The spare is kept open (and locked) from one write to the next; one look
  // at the name tells whether it is still the file there.
  if (spare.fd >= 0) {
    struct stat named;
    if (fstatat(AT_FDCWD, sparePath.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
        named.st_dev != spare.dev || named.st_ino != spare.ino) {
      _DropAll();
    }
  }
  if (spare.fd < 0 && !_TakeSpare()) {
    return Outcome::kNotHere;
  }
  struct stat opened;
  if (fstat(spare.fd, &opened) != 0) {
    _DropAll();
    return Outcome::kNotHere;
  }
  if (!S_ISREG(opened.st_mode) || opened.st_nlink != 1) {
    _Drop(spare);
    unlink(sparePath.c_str());
    return Outcome::kNotHere;
  }
  // The exchange stamps both files' change time, so this also covers a file
  // that another writer of the target swapped out a moment ago.
  if (WallAgeMs(opened.st_ctim) < spareRest.count()) {
    return Outcome::kNotHere;
  }
  if ((opened.st_mode & 07777) != mode && fchmod(spare.fd, mode) != 0) {
    return Outcome::kNotHere;
  }
  const auto failed = [&](const char* step, int code) {
    Fail(step, path, code, error);
    return Outcome::kFailed;
  };
  const int failure = WriteAll(spare.fd, content);
  if (failure != 0) {
    return failed("cannot write", failure);
  }
  // Cut only what the old content left beyond the new: a truncate costs the
  // filesystem more than the write itself.
  if (opened.st_size > static_cast<off_t>(content.size()) &&
      ftruncate(spare.fd, static_cast<off_t>(content.size())) != 0) {
    return failed("cannot write", errno);
  }
  if (renameat2(AT_FDCWD, sparePath.c_str(), AT_FDCWD, path.c_str(), RENAME_EXCHANGE) == 0) {
    lastExchange = now;
    // The file held as the target's is the spare now (checked before use).
    std::swap(spare, current);
    return Outcome::kDone;
  }
  const int refused = errno;
  if (refused == ENOENT) {
    // No target yet: the spare becomes it, and the next write makes a new spare.
    if (rename(sparePath.c_str(), path.c_str()) == 0) {
      _Drop(current);
      std::swap(spare, current);
      return Outcome::kDone;
    }
    return failed("cannot rename a temporary file over", errno);
  }
  if (refused == EINVAL || refused == ENOSYS || refused == EOPNOTSUPP) {
    exchangeWorks = false;
    _DropAll();
    unlink(sparePath.c_str());
    return Outcome::kNotHere;
  }
  return failed("cannot rename a temporary file over", refused);
}

bool AtomicFile::Replace(const std::string& path, const std::string& content, mode_t mode,
                         std::string* error) {
  const std::string pattern = HiddenBeside(path, ".XXXXXX");
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
