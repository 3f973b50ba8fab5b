// Directory: a thin wrapper over one directory path: listing its regular
// files and creating the path when it is missing.
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

 private:
  std::string path;
};

#endif  // VIGILD_UTILS_DIRECTORY_H
