#include "RunAs.h"

#include <errno.h>
#include <grp.h>
#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>

namespace {

// Starting size of the database routines' work area; doubled on ERANGE up
// to kMaxWorkArea.
constexpr size_t kWorkArea = 1024;
constexpr size_t kMaxWorkArea = 1 << 20;
// A user in more groups than this is refused rather than half-dropped.
constexpr int kMaxGroups = 65536;

// Looks up one passwd entry by name (when name is non-null) or by uid into
// entry and storage. 0 when found, ENOENT when there is none, else errno.
int LookUp(const char* name, uid_t uid, passwd& entry, std::vector<char>& storage) {
  for (size_t size = kWorkArea; size <= kMaxWorkArea; size *= 2) {
    storage.assign(size, '\0');
    passwd* result = nullptr;
    const int error = name != nullptr
                          ? getpwnam_r(name, &entry, storage.data(), storage.size(), &result)
                          : getpwuid_r(uid, &entry, storage.data(), storage.size(), &result);
    if (error == ERANGE) {
      continue;
    }
    if (error != 0) {
      return error;
    }
    return result != nullptr ? 0 : ENOENT;
  }
  return ERANGE;
}

}  // namespace

bool RunAs::ForUid(uid_t uid, RunAs& out, std::string& error) {
  passwd entry{};
  std::vector<char> storage;
  const int found = LookUp(nullptr, uid, entry, storage);
  if (found != 0) {
    error = found == ENOENT ? "no account has uid " + std::to_string(uid)
                            : "the user database cannot be read for uid " + std::to_string(uid) +
                                  " (errno=" + std::to_string(found) + ")";
    return false;
  }
  std::vector<gid_t> groups(32);
  int count = static_cast<int>(groups.size());
  while (getgrouplist(entry.pw_name, entry.pw_gid, groups.data(), &count) == -1) {
    if (count <= static_cast<int>(groups.size()) || count > kMaxGroups) {
      error = "the groups of uid " + std::to_string(uid) + " cannot be read";
      return false;
    }
    groups.resize(static_cast<size_t>(count));
  }
  groups.resize(static_cast<size_t>(count));
  out.name = entry.pw_name;
  // The password file's own conventions for fields left empty.
  out.home = entry.pw_dir != nullptr && entry.pw_dir[0] != '\0' ? entry.pw_dir : "/";
  out.shell = entry.pw_shell != nullptr && entry.pw_shell[0] != '\0' ? entry.pw_shell : "/bin/sh";
  out.uid = entry.pw_uid;
  out.gid = entry.pw_gid;
  out.groups = groups;
  return true;
}

bool RunAs::ResolveUser(const std::string& text, uid_t& uid, std::string& error) {
  if (text.empty()) {
    error = "empty user entry";
    return false;
  }
  if (text.find_first_not_of("0123456789") == std::string::npos) {
    errno = 0;
    char* end = nullptr;
    const unsigned long long number = strtoull(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || number >= static_cast<uid_t>(-1)) {
      error = "user id '" + text + "' out of range";
      return false;
    }
    uid = static_cast<uid_t>(number);
    return true;
  }
  passwd entry{};
  std::vector<char> storage;
  const int found = LookUp(text.c_str(), 0, entry, storage);
  if (found != 0) {
    error = found == ENOENT ? "unknown user '" + text + "'"
                            : "the user database cannot be read for '" + text +
                                  "' (errno=" + std::to_string(found) + ")";
    return false;
  }
  uid = entry.pw_uid;
  return true;
}

bool RunAs::ProcessRealUid(int pid, uid_t& uid) {
  if (pid < 1) {
    return false;
  }
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    // "Uid:\treal\teffective\tsaved\tfilesystem"
    if (line.compare(0, 4, "Uid:") != 0) {
      continue;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long number = strtoul(line.c_str() + 4, &end, 10);
    if (errno != 0 || end == line.c_str() + 4) {
      return false;
    }
    uid = static_cast<uid_t>(number);
    return true;
  }
  return false;
}
