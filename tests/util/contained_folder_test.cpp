#include "util/contained_folder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <optional>

#include "support/temp_dir.h"

namespace kanade {
namespace {

using test::Plant;

// Whatever another user put at the name, a write in place reaches only a
// plain file of our own; reading never hangs on a pipe, follows a link, nor
// takes in more than it was asked for (a sparse file costs its planter
// nothing).
TEST(ContainedFolder, WritesInPlaceOnlyToAFileWithNoOtherName) {
  struct Case {
    const char* what;
    std::optional<Plant> plant;  // none: a plain file "old"
    bool endless;                // the plain file is 64 GiB of zeros
    bool sole;
    std::optional<std::string> read;
  };
  const Case cases[] = {
      {"plain file", std::nullopt, false, true, "old"},
      {"endless file", std::nullopt, true, true, std::nullopt},
      {"symbolic link", Plant::kSymlink, false, false, std::nullopt},
      {"dangling symbolic link", Plant::kDanglingSymlink, false, false, std::nullopt},
      {"hard link", Plant::kHardLink, false, false, "precious"},
      {"fifo", Plant::kFifo, false, false, std::nullopt},
      {"folder", Plant::kFolder, false, false, std::nullopt},
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
      if (c.endless) std::filesystem::resize_file(dir / "program/name", std::uint64_t{64} << 30);
    }
    const std::string before = test::Fingerprint(outside);
    const auto folder = ContainedFolder::Open(dir / "program", {}, false);
    ASSERT_TRUE(folder) << c.what;
    EXPECT_EQ(folder->IsSoleFile("name"), c.sole) << c.what;
    bool too_large = false;
    EXPECT_EQ(folder->ReadWhole("name", 1 << 20, &too_large), c.read) << c.what;
    EXPECT_EQ(too_large, c.endless) << c.what;
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
