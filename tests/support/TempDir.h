// TempDir: a fresh directory under $TMPDIR (or /tmp) for one test, removed
// with everything in it when the object goes out of scope.
// One thread at a time; the owning test uses it.
#ifndef VIGILD_TESTS_SUPPORT_TEMPDIR_H
#define VIGILD_TESTS_SUPPORT_TEMPDIR_H

#include <string>

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + name
  std::string Join(const std::string& name) const;
  // Writes `content` to Join(name), creating or truncating it.
  void WriteFile(const std::string& name, const std::string& content) const;

 private:
  std::string path_;
};

#endif  // VIGILD_TESTS_SUPPORT_TEMPDIR_H
