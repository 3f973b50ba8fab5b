#include "TestCommon.h"

TempDir::TempDir() {
  const char* base = getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/vigild-test-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) {
    ADD_FAILURE() << "mkdtemp failed for " << pattern;
  }
  path_ = buffer.data();
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::Join(const std::string& name) const { return path_ + "/" + name; }

void TempDir::WriteFile(const std::string& name, const std::string& content) const {
  std::ofstream out(Join(name), std::ios::binary | std::ios::trunc);
  out << content;
  if (!out) {
    ADD_FAILURE() << "cannot write " << Join(name);
  }
}
