// FuzzFile: an anonymous in-memory file (memfd) that a fuzz target refills
// with each input, so that the file readers under test open a real path
// (/proc/self/fd/N) without a temporary file left behind when a crash ends
// the run.
//
// Owned by the fuzz target, usually as a function-local static that lives
// for the whole run. One thread at a time.
#ifndef VIGILD_FUZZ_FUZZFILE_H
#define VIGILD_FUZZ_FUZZFILE_H

#include <stddef.h>
#include <stdint.h>

#include <string>

class FuzzFile {
 public:
  // Creates the file; aborts when the kernel offers no memfd, since no
  // input could be read then.
  explicit FuzzFile(const char* name);
  ~FuzzFile();
  FuzzFile(const FuzzFile&) = delete;
  FuzzFile& operator=(const FuzzFile&) = delete;

  // Replaces the whole content by data; aborts on a failed write.
  void Fill(const uint8_t* data, size_t size);
  // A path that opens the file afresh, at offset 0.
  const std::string& Path() const { return path; }

 private:
  int fd;            // constant after construction
  std::string path;  // constant after construction
};

#endif  // VIGILD_FUZZ_FUZZFILE_H
