// AtomicFile: replaces a file for other programs to read, whole: the content
// goes to another file in the same directory, which is then renamed over the
// target, so a reader sees either the old file or the new one, never a part.
// Other names start with a dot and never end like the target, so collectors
// that pick files by extension skip them.
//
// A file rewritten every second costs far more through a new temporary file
// each time than through its bytes: the filesystem creates an inode, frees
// the replaced one (a discard request on some mounts) and flushes the new
// data at the rename. An object therefore keeps one spare file beside its
// target (".NAME.spare"): it rewrites the spare in place and swaps it with
// the target in one atomic exchange, so the previous target becomes the next
// spare. A reader that opened the previous target has at least `spareRest`
// before its bytes are overwritten; writes closer together, filesystems
// without the exchange, and a spare held by another writer take the
// new-temporary-file way, which never touches a file a reader may hold.
//
// The static Replace owns nothing and is safe for concurrent use. An object
// owns up to two open descriptors (the spare and the file it last swapped
// in, both locked with flock) until RemoveSpare or its end, and is used by
// one thread at a time; two objects (or processes) writing one target each
// leave whole files, the last exchange or rename winning.
#ifndef VIGILD_UTILS_ATOMICFILE_H
#define VIGILD_UTILS_ATOMICFILE_H

#include <sys/types.h>

#include <chrono>
#include <string>

class AtomicFile {
 public:
  // How long a file that left the target rests before it is rewritten as
  // the spare: many times what a reader needs to read a status file.
  static constexpr std::chrono::milliseconds kSpareRest{500};

  AtomicFile(std::string path, mode_t mode,
             std::chrono::milliseconds spareRest = kSpareRest);
  ~AtomicFile();
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  // Writes content to the target with the object's permission bits (the
  // umask does not apply); the same result and guarantees as the static
  // Replace, through the spare where it can.
  bool Replace(const std::string& content, std::string* error);
  // Removes the spare, for an owner that is done writing. The target stays.
  void RemoveSpare();

  const std::string& Path() const { return path; }
  const std::string& SparePath() const { return sparePath; }

  // Writes content to path with the given permission bits (the umask does
  // not apply). True on success; else false with the failed step and the
  // system's words in *error, the target untouched and no temporary left.
  // No fsync: the files written this way are rewritten every second and
  // need not survive a crash.
  static bool Replace(const std::string& path, const std::string& content, mode_t mode,
                      std::string* error);

 private:
  enum class Outcome { kDone, kFailed, kNotHere };
  // An open, locked file and which one it is.
  struct Held {
    int fd = -1;
    dev_t dev = 0;
    ino_t ino = 0;
  };

  // The spare way; kNotHere when the caller must take the other way, with
  // the target untouched.
  Outcome _ReplaceThroughSpare(const std::string& content, std::string* error);
  // Opens and locks the file at the spare's name into `spare`.
  bool _TakeSpare();
  void _Drop(Held& held);
  void _DropAll();

  const std::string path;       // constant after construction
  const std::string sparePath;  // constant after construction
  const mode_t mode;            // constant after construction
  const std::chrono::milliseconds spareRest;  // constant after construction
  // When a file last left the target for the spare's name; the epoch when
  // none has yet.
  std::chrono::steady_clock::time_point lastExchange;
  bool exchangeWorks = true;  // false once the filesystem refused an exchange
  // The files believed to be at the spare's and at the target's names, kept
  // open between writes: an open per write was a third of its cost. Each is
  // checked against the name before it is written.
  Held spare;
  Held current;
};

#endif  // VIGILD_UTILS_ATOMICFILE_H
