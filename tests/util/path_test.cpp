#include "util/path.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "support/temp_dir.h"

namespace kanade {
namespace {

using test::TempDir;

TEST(FileKinds, FilesAndFoldersAreTold) {
  TempDir dir;
  test::WriteFile(dir / "empty.txt", "");
  EXPECT_TRUE(IsFile(dir / "empty.txt"));
  EXPECT_FALSE(IsDirectory(dir / "empty.txt"));
  EXPECT_TRUE(IsDirectory(dir.path()));
  EXPECT_TRUE(IsDirectory(dir.path() + "/"));
  EXPECT_TRUE(IsDirectory(dir.path() + "//"));
  EXPECT_FALSE(IsFile(dir.path()));
  EXPECT_FALSE(IsFile(""));
  EXPECT_FALSE(IsDirectory(""));
  EXPECT_FALSE(IsFile(dir / "missing"));
  EXPECT_TRUE(IsDirectory("/"));
}

// True only when nothing is left, and a folder (empty or not) is never
// removed in a file's place.
TEST(RemoveFile, RemovesFilesButNeverFolders) {
  TempDir dir;
  test::WriteFile(dir / "file.txt", "x");
  std::filesystem::create_directories(dir / "full/inner");
  std::filesystem::create_directory(dir / "empty");
  EXPECT_TRUE(RemoveFile(dir / "file.txt"));
  EXPECT_FALSE(std::filesystem::exists(dir / "file.txt"));
  EXPECT_TRUE(RemoveFile(dir / "missing"));
  for (const char* folder : {"full", "empty"}) {
    EXPECT_FALSE(RemoveFile(dir / folder)) << folder;
    EXPECT_TRUE(IsDirectory(dir / folder)) << folder;
  }
}

TEST(EnsureDirectoryTree, CreatesEachMissingLevel) {
  TempDir dir;
  EXPECT_TRUE(EnsureDirectoryTree(dir / "a/b/c", dir.path()));
  EXPECT_TRUE(IsDirectory(dir / "a/b/c"));
  EXPECT_TRUE(EnsureDirectoryTree(dir / "a/b/c/", dir.path()));
}

TEST(EnsureDirectoryTree, AMissingBaseCreatesNothing) {
  TempDir dir;
  EXPECT_FALSE(EnsureDirectoryTree(dir / "base/a/b", dir / "base"));
  EXPECT_FALSE(IsDirectory(dir / "base"));
}

TEST(EnsureDirectoryTree, AFileInTheWayFails) {
  TempDir dir;
  test::WriteFile(dir / "a", "x");
  EXPECT_FALSE(EnsureDirectoryTree(dir / "a/b", dir.path()));
  EXPECT_EQ(test::ReadFile(dir / "a"), "x");
}

TEST(AtomicWrite, ReplacesWholeOrLeavesTheOldFile) {
  TempDir dir;
  const std::string target = dir / "settings.ini";
  test::WriteFile(target, "old");
  EXPECT_TRUE(WriteFileAtomically(target, "new content"));
  EXPECT_EQ(test::ReadFile(target), "new content");
  // A folder that does not exist: nothing written, nothing left behind.
  EXPECT_FALSE(WriteFileAtomically(dir / "nope/file", "x"));
  // The target is a folder: the rename fails and the temporary file goes.
  std::filesystem::create_directory(dir / "folder");
  test::WriteFile(dir / "folder/inside", "keep");
  EXPECT_FALSE(WriteFileAtomically(dir / "folder", "x"));
  // Nor is a pipe (or a device: as root, /dev/zero itself) replaced.
  ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);
  EXPECT_FALSE(WriteFileAtomically(dir / "pipe", "x"));
  EXPECT_TRUE(std::filesystem::is_fifo(dir / "pipe"));
  int entries = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
    (void)e;
    ++entries;
  }
  EXPECT_EQ(entries, 3);  // the file, the folder and the pipe: no temporary file left
}

TEST(ReadOnlyFiles, AreSeenEvenByRoot) {
  TempDir dir;
  const std::string file = dir / "ro.txt";
  test::WriteFile(file, "x");
  EXPECT_FALSE(IsReadOnlyFile(file));
  test::SetReadOnly(file, true);
  EXPECT_TRUE(IsReadOnlyFile(file));
  EXPECT_FALSE(IsReadOnlyFile(dir / "missing"));
  EXPECT_EQ(ReadFileBytes(file).value_or(""), "x");
  EXPECT_FALSE(ReadFileBytes(dir / "missing").has_value());
  EXPECT_FALSE(ReadFileBytes(dir.path()).has_value());
}

}  // namespace
}  // namespace kanade
