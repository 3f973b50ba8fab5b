// AtomicFile: replaces a file for other programs to read, whole: the content
// goes to a new temporary file in the same directory, created exclusively
// (a name nobody held, never a file or link found there), which is then
// renamed over the target. A reader sees either the old file or the new one,
// never a part, and a file once published is never written again, so a
// reader that holds it open keeps its bytes however long it reads. Nothing
// else found in the directory is ever written, renamed or published, which
// matters when others may write to it. Temporary names start with a dot and
// never end like the target, so collectors that pick files by extension skip
// them.
//
// Owns nothing beyond its settings; safe for concurrent use. Two objects (or
// processes) writing one target each leave whole files, the last rename
// winning.
#ifndef VIGILD_UTILS_ATOMICFILE_H
#define VIGILD_UTILS_ATOMICFILE_H

#include <sys/types.h>

#include <string>

class AtomicFile {
 public:
  AtomicFile(std::string path, mode_t mode);

  // Writes content to the target with the object's permission bits; the
  // same result and guarantees as the static Replace.
  bool Replace(const std::string& content, std::string* error) const;

  const std::string& Path() const { return path; }

  // Writes content to path with the given permission bits (the umask does
  // not apply). True on success; else false with the failed step and the
  // system's words in *error, the target untouched and no temporary left.
  // No fsync: the files written this way are rewritten every second and
  // need not survive a crash.
  static bool Replace(const std::string& path, const std::string& content, mode_t mode,
                      std::string* error);

 private:
  const std::string path;  // constant after construction
  const mode_t mode;       // constant after construction
};

#endif  // VIGILD_UTILS_ATOMICFILE_H
