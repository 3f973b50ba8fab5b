#include "AtomicFile.h"
#include "TestCommon.h"

namespace {

mode_t ModeOf(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0 ? info.st_mode : 0;
}

// Whatever the umask, each rewrite has the given mode; a reader that opened the
// file keeps its whole text however many writes come, quick or spaced. Other
// users of the directory may plant names beside the target or at its own name.
TEST(AtomicFileTest, RewritesKeepTheModeAndNoReaderPlantedFileOrOtherWriterSeesAPart) {
  TempDir dir;
  const mode_t saved = umask(077);
  const AtomicFile file(dir.Join("status.json"), 0644);
  dir.WriteFile("victim", "keep me");
  const std::string planted[] = {".status.json.spare", ".status.json.AAAAAA", ".status.json.tmp"};
  for (const std::string& name : planted) {
    dir.WriteFile(name, "forged");
  }
  ASSERT_EQ(0, symlink(dir.Join("victim").c_str(), dir.Join(".status.json.link").c_str()));
  std::string error;
  ASSERT_TRUE(file.Replace(std::string(3000, 'b'), &error)) << error;
  const int reader = open(file.Path().c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  const std::string texts[] = {std::string(5000, 'a'), "short", "", "{}\n"};
  for (const std::string& text : texts) {
    if (text.size() < 3) {
      // Spaced writes, and planted files as old as an attacker would leave them.
      std::this_thread::sleep_for(std::chrono::milliseconds(700));
    }
    ASSERT_TRUE(file.Replace(text, &error)) << error;
    EXPECT_EQ(text, ReadAll(file.Path()));
    EXPECT_EQ(S_IFREG | 0644u, ModeOf(file.Path()));
    EXPECT_EQ(std::string(3000, 'b'), ReadAll("/proc/self/fd/" + std::to_string(reader)));
    for (const std::string& name : planted) {
      EXPECT_EQ("forged", ReadAll(dir.Join(name))) << name;
    }
  }
  close(reader);
  umask(saved);
  // A link put at the target's own name is replaced, not followed.
  ASSERT_EQ(0, unlink(file.Path().c_str()));
  ASSERT_EQ(0, symlink(dir.Join("victim").c_str(), file.Path().c_str()));
  ASSERT_TRUE(AtomicFile::Replace(file.Path(), "one-off", 0600, &error)) << error;
  EXPECT_EQ("one-off", ReadAll(file.Path()));
  EXPECT_EQ(S_IFREG | 0600u, ModeOf(file.Path()));
  EXPECT_EQ("keep me", ReadAll(dir.Join("victim")));
  // A directory that cannot exist: the error names the target and the cause.
  dir.WriteFile("plain", "x");
  const AtomicFile lost(dir.Join("plain/status.json"), 0644);
  EXPECT_FALSE(lost.Replace("text", &error));
  EXPECT_EQ("cannot create a temporary file for '" + lost.Path() + "': Not a directory", error);
  EXPECT_EQ("x", ReadAll(dir.Join("plain")));
  // A directory at the target's name: the last step fails, and takes its temporary file along.
  ASSERT_EQ(0, mkdir(dir.Join("taken").c_str(), 0700));
  const AtomicFile taken(dir.Join("taken"), 0644);
  EXPECT_FALSE(taken.Replace("text", &error));
  EXPECT_EQ("cannot rename a temporary file over '" + taken.Path() + "': Is a directory", error);
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    names.insert(entry.path().filename());
  }
  EXPECT_EQ((std::set<std::string>{"status.json", "victim", ".status.json.link", planted[0],
                                   planted[1], planted[2], "plain", "taken"}),
            names);

  // Two writers of one file (two daemons given the same status file) and a
  // reader: every read is one writer's whole text.
  const std::string path = dir.Join("shared.json");
  ASSERT_TRUE(AtomicFile::Replace(path, std::string(65536, 'x'), 0644, &error)) << error;
  std::atomic<bool> done{false};
  std::atomic<int> failures{0};
  auto writer = [&](char fill) {
    const AtomicFile own(path, 0644);
    const std::string text(65536, fill);
    std::string problem;
    for (int i = 0; i < 400 && !done.load(); ++i) {
      failures += own.Replace(text, &problem) ? 0 : 1;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  };
  std::thread first(writer, 'p');
  std::thread second(writer, 'q');
  int torn = 0;
  for (int reads = 0; reads < 3000; ++reads) {
    const std::string seen = ReadAll(path);
    torn += seen.size() != 65536 || seen.find_first_not_of(seen[0]) != std::string::npos;
  }
  done = true;
  first.join();
  second.join();
  EXPECT_EQ(0, torn) << "of 3000 reads";
  EXPECT_EQ(0, failures.load());
}

}  // namespace
