#include "util/contained_folder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

#include "support/temp_dir.h"

namespace kanade {
namespace {

using test::Plant;

// Whatever another user put at the name, a write in place reaches only a
// plain file of our own; reading never hangs on a pipe nor follows a link.
TEST(ContainedFolder, WritesInPlaceOnlyToAFileWithNoOtherName) {
  struct Case {
    const char* what;
    std::optional<Plant> plant;  // none: a plain file "old"
    bool sole;
    std::optional<std::string> read;
  };
  const Case cases[] = {
      {"plain file", std::nullopt, true, "old"},
      {"symbolic link", Plant::kSymlink, false, std::nullopt},
      {"dangling symbolic link", Plant::kDanglingSymlink, false, std::nullopt},
      {"hard link", Plant::kHardLink, false, "precious"},
      {"fifo", Plant::kFifo, false, std::nullopt},
      {"folder", Plant::kFolder, false, std::nullopt},
  };
  for (const Case& c : cases) {
    test::TempDir dir;
    const std::string outside = dir / "outside/victim";
    test::WriteFile(outside, "precious");
    std::filesystem::create_directory(dir / "program");
    if (c.plant) {
      test::PlantAt(*c.plant, dir / "program/name", outside);
    } else {
      test::WriteFile(dir / "program/name", "old");
    }
    const std::string before = test::Fingerprint(outside);
    const auto folder = ContainedFolder::Open(dir / "program", {}, false);
    ASSERT_TRUE(folder) << c.what;
    EXPECT_EQ(folder->IsSoleFile("name"), c.sole) << c.what;
    EXPECT_EQ(folder->ReadWhole("name"), c.read) << c.what;
    EXPECT_EQ(folder->OverwriteInPlace("name", "new"), c.sole) << c.what;
    EXPECT_EQ(folder->AppendTo("name", "+"), c.sole) << c.what;
    EXPECT_EQ(test::Fingerprint(outside), before) << c.what;
    EXPECT_FALSE(std::filesystem::exists(outside + ".new")) << c.what;
    if (c.sole) {
      EXPECT_EQ(test::ReadFile(dir / "program/name"), "new+");
    }
  }

  // A missing file is created by an append, never by an overwrite.
  test::TempDir dir;
  const auto folder = ContainedFolder::Open(dir.path(), {}, false);
  ASSERT_TRUE(folder);
  EXPECT_FALSE(folder->OverwriteInPlace("log", "x"));
  EXPECT_TRUE(folder->AppendTo("log", "a"));
  EXPECT_TRUE(folder->AppendTo("log", "b"));
  EXPECT_EQ(test::ReadFile(dir / "log"), "ab");
}

}  // namespace
}  // namespace kanade
