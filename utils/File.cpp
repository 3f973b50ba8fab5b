#include "File.h"

#include <errno.h>
#include <stdio.h>
#include <unistd.h>

#include <cstring>

#include "Timestamp.h"

namespace {

// One write per report, so that reports from several threads do not interleave.
void ReportFailure(const std::string& text, int error) {
  std::string line = text + std::to_string(error) + "\n";
  fputs(line.c_str(), stderr);
}

}  // namespace

File::File(const std::string& filePath) : path(filePath), statFilled(false) {
  std::memset(&statRecord, 0, sizeof statRecord);
}

bool File::Exist() const {
  struct stat record;
  return stat(path.c_str(), &record) == 0;
}

bool File::IsRegular() const {
  struct stat record;
  return stat(path.c_str(), &record) == 0 && S_ISREG(record.st_mode);
}

bool File::IsDirectory() const {
  struct stat record;
  return stat(path.c_str(), &record) == 0 && S_ISDIR(record.st_mode);
}

bool File::StatCached() {
  if (!statFilled) {
    statFilled = stat(path.c_str(), &statRecord) == 0;
  }
  return statFilled;
}

off_t File::Size() { return StatCached() ? statRecord.st_size : 0; }
off_t File::SizeUsingBlocks() {
  return StatCached() ? static_cast<off_t>(statRecord.st_blocks) * 512 : 0;
}
uid_t File::Uid() { return StatCached() ? statRecord.st_uid : 0; }
gid_t File::Gid() { return StatCached() ? statRecord.st_gid : 0; }
dev_t File::Dev() { return StatCached() ? statRecord.st_dev : 0; }
ino_t File::Inod() { return StatCached() ? statRecord.st_ino : 0; }
mode_t File::Mode() { return StatCached() ? statRecord.st_mode : 0; }
time_t File::ATime() { return StatCached() ? statRecord.st_atime : 0; }
time_t File::MTime() { return StatCached() ? statRecord.st_mtime : 0; }
time_t File::CTime() { return StatCached() ? statRecord.st_ctime : 0; }

std::string File::UidString() {
  if (!StatCached()) {
    return "?user?";
  }
  return "uid(" + std::to_string(statRecord.st_uid) + ")";
}

std::string File::GidString() {
  if (!StatCached()) {
    return "?group?";
  }
  return "gid(" + std::to_string(statRecord.st_gid) + ")";
}

std::string File::ModeString() {
  std::string text = "----------";
  if (!StatCached()) {
    return text;
  }
  const mode_t mode = statRecord.st_mode;
  if (S_ISDIR(mode)) {
    text[0] = 'd';
  }
  const bool setUid = (mode & S_ISUID) != 0;
  const bool setGid = (mode & S_ISGID) != 0;
  const bool ownerX = (mode & S_IXUSR) != 0;
  const bool groupX = (mode & S_IXGRP) != 0;
  if (mode & S_IRUSR) {
    text[1] = 'r';
  }
  if (mode & S_IWUSR) {
    text[2] = 'w';
  }
  if (setUid) {
    text[3] = ownerX ? 's' : 'S';
  } else if (ownerX) {
    text[3] = 'x';
  }
  if (mode & S_IRGRP) {
    text[4] = 'r';
  }
  if (mode & S_IWGRP) {
    text[5] = 'w';
  }
  if (setGid) {
    text[6] = groupX ? 's' : 'S';
  } else if (groupX) {
    text[6] = 'x';
  }
  if (mode & S_IROTH) {
    text[7] = 'r';
  }
  if (mode & S_IWOTH) {
    text[8] = 'w';
  }
  if (mode & S_IXOTH) {
    text[9] = 'x';
  }
  return text;
}

std::string File::MTimeString() {
  char text[Timestamp::kPrintBufferSize] = "Jan 1 1970";
  if (StatCached()) {
    Timestamp modified;
    modified.SetGMTCount(statRecord.st_mtime);
    modified.PrintLocalFileTime(text);
  }
  return text;
}

bool File::Remove() {
  // lstat, so that a symbolic link is removed itself rather than followed.
  struct stat record;
  if (lstat(path.c_str(), &record) != 0) {
    const int error = errno;
    if (error == ENOENT || error == ENOTDIR) {
      return true;
    }
    ReportFailure("[File::Remove] ERROR : remove file " + path + " failed!:", error);
    return false;
  }
  statFilled = false;
  if (S_ISDIR(record.st_mode)) {
    if (rmdir(path.c_str()) != 0) {
      const int error = errno;
      ReportFailure("[File::Remove] ERROR : remove directory " + path + " failed!:", error);
      return false;
    }
    return true;
  }
  if (remove(path.c_str()) != 0) {
    const int error = errno;
    ReportFailure("[File::Remove] ERROR : remove file " + path + " failed!:", error);
    return false;
  }
  return true;
}

bool File::Rename(const std::string& newPath) {
  if (rename(path.c_str(), newPath.c_str()) != 0) {
    const int error = errno;
    ReportFailure("[File::Rename] ERROR : rename " + path + "  into " + newPath + "  failed!:",
                  error);
    return false;
  }
  path = newPath;
  statFilled = false;
  return true;
}

void File::Split(const std::string& fullPath, std::string& dir, std::string& name,
                 std::string& ext) {
  dir.clear();
  name.clear();
  ext.clear();
  const std::string::size_type slash = fullPath.find_last_of("/\\");
  if (slash == std::string::npos || slash == 0 || slash + 1 == fullPath.size()) {
    dir = ".";
    name = fullPath;
  } else {
    dir = fullPath.substr(0, slash);
    name = fullPath.substr(slash + 1);
  }
  const std::string::size_type dot = name.rfind('.');
  if (dot != std::string::npos && dot != 0 && dot + 1 != name.size()) {
    ext = name.substr(dot + 1);
    name.erase(dot);
  }
}
