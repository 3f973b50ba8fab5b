// Directory: a thin wrapper over one directory path: listing its regular
// files, creating the path when it is missing, and telling whether others
// may write to it.
//
// A value owned by whoever declares it; one thread at a time per object
// (separate objects may be used from separate threads).
#ifndef VIGILD_UTILS_DIRECTORY_H
#define VIGILD_UTILS_DIRECTORY_H

#include <list>
#include <string>

class Directory {
 public:
  explicit Directory(const std::string& path);

  const std::string& Path() const { return path; }

  // Appends the names (no directory part) of the regular files, in the order
  // the directory is read. False, with `out` untouched, when the directory
  // cannot be opened. The int is accepted and has no effect.
  bool GetFiles(std::list<std::string>& out, int);

  // Creates each missing directory along the path ('/' and '\' both
  // separate components) with mode 0777, less the umask. False when a
  // component cannot be created or exists and is not a directory.
  bool CheckPath();

  // True when the directory has the group or other write bit: a local user
  // could then plant files or links at the names the daemon writes. mode
  // gets its permission bits. False when it is not a readable directory.
  bool OpenToOthers(unsigned& mode) const;

 private:
  std::string path;
};

#endif  // VIGILD_UTILS_DIRECTORY_H
