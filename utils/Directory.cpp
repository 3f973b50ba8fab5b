#include "Directory.h"

#include <dirent.h>
#include <errno.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstring>

namespace {

// True when `dir` is a directory on return, whether it existed or was made
// here. EEXIST is checked again: another thread or process may create the
// same component between the stat and the mkdir.
bool MakeDirectory(const std::string& dir) {
  struct stat record;
  if (stat(dir.c_str(), &record) == 0) {
    return S_ISDIR(record.st_mode);
  }
  if (mkdir(dir.c_str(), 0777) == 0) {
    return true;
  }
  return errno == EEXIST && stat(dir.c_str(), &record) == 0 && S_ISDIR(record.st_mode);
}

}  // namespace

Directory::Directory(const std::string& dirPath) : path(dirPath) {}

bool Directory::GetFiles(std::list<std::string>& out, int) {
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) {
    return false;
  }
  // readdir rather than the deprecated readdir_r: its buffer belongs to this
  // private DIR stream, so concurrent listings do not share it.
  while (struct dirent* entry = readdir(dir)) {
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
      continue;
    }
    struct stat record;
    const std::string full = path + "/" + name;
    if (stat(full.c_str(), &record) == 0 && S_ISREG(record.st_mode)) {
      out.push_back(name);
    }
  }
  closedir(dir);
  return true;
}

bool Directory::CheckPath() {
  for (std::string::size_type i = 1; i <= path.size(); ++i) {
    if (i < path.size() && path[i] != '/' && path[i] != '\\') {
      continue;
    }
    const char last = path[i - 1];
    if (last == '/' || last == '\\') {
      continue;  // empty component: "a//b" or a trailing separator
    }
    if (!MakeDirectory(path.substr(0, i))) {
      return false;
    }
  }
  return !path.empty();
}

bool Directory::OpenToOthers(unsigned& mode) const {
  struct stat info;
  if (stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    return false;
  }
  mode = static_cast<unsigned>(info.st_mode & 07777);
  return (info.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}
