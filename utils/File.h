// File: a thin wrapper over one path of the file system: existence and type
// tests, the attributes of a cached stat record, removal, renaming, and the
// splitting of a path into directory, name and extension.
//
// A value owned by whoever declares it; one thread at a time (the cached
// record is filled on first use).
#ifndef VIGILD_UTILS_FILE_H
#define VIGILD_UTILS_FILE_H

#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

#include <string>

class File {
 public:
  explicit File(const std::string& path);

  const std::string& Path() const { return path; }

  // Each of these makes a fresh stat call.
  bool Exist() const;
  bool IsRegular() const;
  bool IsDirectory() const;

  // Calls stat the first time only and remembers the result; true when the
  // record is filled. The readers below return 0 when it is not.
  bool StatCached();
  off_t Size();
  off_t SizeUsingBlocks();  // allocated 512-byte blocks, in bytes
  uid_t Uid();
  gid_t Gid();
  dev_t Dev();
  ino_t Inod();
  mode_t Mode();
  time_t ATime();
  time_t MTime();
  time_t CTime();

  std::string UidString();   // "uid(N)", or "?user?"
  std::string GidString();   // "gid(N)", or "?group?"
  std::string ModeString();  // ten characters, as ls prints them
  // Modification time as a directory listing shows it ("Mar  4 12:30", or
  // "Mar  4 2007" for another year), or "Jan 1 1970".
  std::string MTimeString();

  // A directory is removed with rmdir, anything else with remove; a path that
  // does not exist counts as removed. Failures are reported on stderr.
  bool Remove();
  // On success the object takes the new path. Failures are reported on stderr.
  bool Rename(const std::string& newPath);

  // Clears dir, name and ext, then splits the path at its last '/' or '\'.
  // When there is none, or it is the first or the last character, dir is "."
  // and name the whole path. The name is then cut at its last '.', unless that
  // dot starts or ends it (".profile", "b." have no extension).
  static void Split(const std::string& fullPath, std::string& dir, std::string& name,
                    std::string& ext);

 private:
  std::string path;
  struct stat statRecord;
  bool statFilled;  // statRecord holds the result of a successful stat
};

#endif  // VIGILD_UTILS_FILE_H
