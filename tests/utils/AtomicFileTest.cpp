#include "AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <set>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "TempDir.h"
#include "TestWaits.h"

namespace {

using std::chrono::milliseconds;

class AtomicFileTest : public ::testing::Test {
 protected:
  std::set<std::string> Names() const {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
      names.insert(entry.path().filename().string());
    }
    return names;
  }

  static mode_t ModeOf(const std::string& path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
  }

  // What an open descriptor reads from its start.
  static std::string ReadFd(int fd) {
    std::string text;
    char buffer[4096];
    off_t offset = 0;
    for (ssize_t n; (n = pread(fd, buffer, sizeof buffer, offset)) > 0; offset += n) {
      text.append(buffer, static_cast<size_t>(n));
    }
    return text;
  }

  TempDir dir;
};

// Through the spare, whose old bytes must never show past a shorter text,
// and whatever umask the daemon was started with.
TEST_F(AtomicFileTest, EveryRewriteLeavesExactlyTheNewContentWithTheGivenMode) {
  const mode_t saved = umask(077);
  AtomicFile file(dir.Join("status.json"), 0644, milliseconds(0));
  std::string error;
  for (const std::string& text :
       {std::string(5000, 'a'), std::string("short"), std::string(""), std::string(70, 'c'),
        std::string(9000, 'd'), std::string("{}\n")}) {
    ASSERT_TRUE(file.Replace(text, &error)) << error;
    EXPECT_EQ(text, ReadAll(file.Path()));
    EXPECT_EQ(0644u, ModeOf(file.Path()));
  }
  umask(saved);
  EXPECT_EQ((std::set<std::string>{"status.json", ".status.json.spare"}), Names());
  EXPECT_EQ(0644u, ModeOf(file.SparePath()));

  file.RemoveSpare();
  EXPECT_EQ(std::set<std::string>{"status.json"}, Names());
  EXPECT_EQ("{}\n", ReadAll(file.Path()));

  ASSERT_TRUE(AtomicFile::Replace(file.Path(), "one-off", 0600, &error)) << error;
  EXPECT_EQ("one-off", ReadAll(file.Path()));
  EXPECT_EQ(0600u, ModeOf(file.Path()));
  EXPECT_EQ(std::set<std::string>{"status.json"}, Names());
}

// A reader that opened the file just before a burst of writes (a pass's
// write and a restart's, moments apart) still holds the whole old text.
TEST_F(AtomicFileTest, AFileJustReplacedIsNotRewrittenUnderItsReader) {
  AtomicFile file(dir.Join("status.json"), 0644, milliseconds(60000));
  std::string error;
  ASSERT_TRUE(file.Replace(std::string(3000, 'a'), &error)) << error;
  ASSERT_TRUE(file.Replace(std::string(3000, 'b'), &error)) << error;
  const int reader = open(file.Path().c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  for (char fill : {'c', 'd', 'e', 'f'}) {
    ASSERT_TRUE(file.Replace(std::string(2000, fill), &error)) << error;
    EXPECT_EQ(std::string(2000, fill), ReadAll(file.Path()));
    EXPECT_EQ(std::string(3000, 'b'), ReadFd(reader));
  }
  close(reader);
}

// The spare's name is in a directory others may write to: a link planted
// there must not make the writer write through it.
TEST_F(AtomicFileTest, WhatSitsAtTheSparesNameIsNeverWrittenThrough) {
  AtomicFile file(dir.Join("status.json"), 0644, milliseconds(0));
  dir.WriteFile("victim", "keep me");
  std::string error;

  // Swapped in behind the writer's back while it holds the spare open.
  ASSERT_TRUE(file.Replace("zero", &error)) << error;
  ASSERT_TRUE(file.Replace("one", &error)) << error;
  ASSERT_EQ(0, rename(file.SparePath().c_str(), dir.Join("moved").c_str()));
  ASSERT_EQ(0, symlink(dir.Join("victim").c_str(), file.SparePath().c_str()));
  ASSERT_TRUE(file.Replace("two", &error)) << error;
  EXPECT_EQ("two", ReadAll(file.Path()));
  EXPECT_EQ("keep me", ReadAll(dir.Join("victim")));
  unlink(file.SparePath().c_str());
  unlink(dir.Join("moved").c_str());

  ASSERT_EQ(0, symlink(dir.Join("victim").c_str(), file.SparePath().c_str()));
  ASSERT_TRUE(file.Replace("first", &error)) << error;
  ASSERT_TRUE(file.Replace("second", &error)) << error;
  EXPECT_EQ("second", ReadAll(file.Path()));
  EXPECT_EQ("keep me", ReadAll(dir.Join("victim")));

  // Nor create a file where a dangling link points.
  unlink(file.SparePath().c_str());
  ASSERT_EQ(0, symlink(dir.Join("made-through-link").c_str(), file.SparePath().c_str()));
  ASSERT_TRUE(file.Replace("third", &error)) << error;
  EXPECT_EQ("third", ReadAll(file.Path()));
  EXPECT_NE(0, access(dir.Join("made-through-link").c_str(), F_OK));

  unlink(file.SparePath().c_str());
  ASSERT_EQ(0, link(dir.Join("victim").c_str(), file.SparePath().c_str()));
  ASSERT_TRUE(file.Replace("third", &error)) << error;
  ASSERT_TRUE(file.Replace("fourth", &error)) << error;
  EXPECT_EQ("fourth", ReadAll(file.Path()));
  EXPECT_EQ("keep me", ReadAll(dir.Join("victim")));

  unlink(file.SparePath().c_str());
  ASSERT_EQ(0, mkdir(file.SparePath().c_str(), 0700));
  ASSERT_TRUE(file.Replace("fifth", &error)) << error;
  EXPECT_EQ("fifth", ReadAll(file.Path()));
  rmdir(file.SparePath().c_str());

  // A directory that cannot exist: the error names the target and the cause.
  dir.WriteFile("plain", "x");
  AtomicFile lost(dir.Join("plain/status.json"), 0644, milliseconds(0));
  EXPECT_FALSE(lost.Replace("text", &error));
  EXPECT_NE(std::string::npos, error.find(dir.Join("plain/status.json"))) << error;
  EXPECT_NE(std::string::npos, error.find("Not a directory")) << error;
  EXPECT_EQ("x", ReadAll(dir.Join("plain")));
}

// Two writers of one file (two daemons given the same status file) and a
// reader: every read is one writer's whole text.
TEST_F(AtomicFileTest, TwoWritersOfOneTargetNeverShowAPart) {
  const std::string path = dir.Join("status.json");
  std::string error;
  ASSERT_TRUE(AtomicFile::Replace(path, std::string(65536, 'x'), 0644, &error)) << error;
  std::atomic<bool> done{false};
  std::atomic<int> failures{0};
  auto writer = [&](char fill) {
    AtomicFile file(path, 0644, milliseconds(50));
    const std::string text(65536, fill);
    std::string problem;
    for (int i = 0; i < 400 && !done.load(); ++i) {
      failures += file.Replace(text, &problem) ? 0 : 1;
      std::this_thread::sleep_for(milliseconds(2));
    }
  };
  std::thread first(writer, 'p');
  std::thread second(writer, 'q');
  int reads = 0;
  int torn = 0;
  for (; reads < 3000; ++reads) {
    const std::string seen = ReadAll(path);
    const bool whole = seen.size() == 65536 &&
                       std::all_of(seen.begin(), seen.end(), [&](char c) { return c == seen[0]; });
    torn += whole ? 0 : 1;
  }
  done = true;
  first.join();
  second.join();
  EXPECT_EQ(0, torn) << "of " << reads << " reads";
  EXPECT_EQ(0, failures.load());
}

}  // namespace
