// AtomicFile: replaces a file for other programs to read, whole: the content
// goes to a temporary file in the same directory, which is then renamed over
// the target, so a reader sees either the old file or the new one, never a
// part. The temporary name starts with a dot and never ends like the target,
// so collectors that pick files by extension skip it.
//
// No objects: nothing is owned. Safe for concurrent use on different targets;
// two writers of one target each leave a whole file, the last rename winning.
#ifndef VIGILD_UTILS_ATOMICFILE_H
#define VIGILD_UTILS_ATOMICFILE_H

#include <sys/types.h>

#include <string>

class AtomicFile {
 public:
  // Writes content to path with the given permission bits (the umask does
  // not apply). True on success; else false with the failed step and the
  // system's words in *error, the target untouched and no temporary left.
  // No fsync: the files written this way are rewritten every second and
  // need not survive a crash.
  static bool Replace(const std::string& path, const std::string& content, mode_t mode,
                      std::string* error);
};

#endif  // VIGILD_UTILS_ATOMICFILE_H
