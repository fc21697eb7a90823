#include "util/contained_folder.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "support/temp_dir.h"
#include "util/file_owner.h"
#include "util/link_rule.h"

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
    auto appending = folder->OpenToAppend("name");
    EXPECT_EQ(appending && appending->Append("+"), c.sole) << c.what;
    EXPECT_EQ(test::Fingerprint(outside), before) << c.what;
    EXPECT_FALSE(std::filesystem::exists(outside + ".new")) << c.what;
    if (c.sole) {
      EXPECT_EQ(test::ReadFile(dir / "program/name"), "new+");
    }
  }

  // A missing file is created by an append, never by an overwrite; a file
  // kept open appends after what another writer appended meanwhile.
  test::TempDir dir;
  const auto folder = ContainedFolder::Open(dir.path(), {}, false);
  ASSERT_TRUE(folder);
  EXPECT_FALSE(folder->OverwriteInPlace("log", "x"));
  auto kept = folder->OpenToAppend("log");
  ASSERT_TRUE(kept && kept->Append("a"));
  EXPECT_TRUE(folder->OpenToAppend("log")->Append("b"));
  EXPECT_TRUE(kept->Append("c"));
  EXPECT_EQ(test::ReadFile(dir / "log"), "abc");
}

// Players move game data to another drive and leave a link in its place:
// their own links, and root's, are followed; anyone else's are refused with
// their maker named, also when only the folder holding the link is theirs
// to write. Below a followed link's target each folder is checked again.
TEST(ContainedFolder, FollowsOnlyLinksThatNobodyElseControls) {
  namespace fs = std::filesystem;
  struct Case {
    const char* what;
    unsigned link_owner;    // of "game/data"
    unsigned folder_owner;  // of "game"
    fs::perms folder_write;
    unsigned inner_owner;  // of "drive/data/inner", a link to "elsewhere"
    std::vector<std::string> segments;
    bool opened;
    std::string owner;  // of the refused link
  };
  const unsigned me = ::geteuid();
  const std::string nobody = "nobody (uid 65534)";
  const fs::perms none = fs::perms::none;
  const std::vector<std::string> data = {"data", "sub"};
  const std::vector<std::string> inner = {"data", "inner"};
  const Case cases[] = {
      {"own link to another folder", me, me, none, me, data, true, ""},
      {"root's link", 0, me, none, me, data, true, ""},
      {"another user's link", test::kNobody, me, none, me, data, false, nobody},
      {"own link in a folder others can write", me, me, fs::perms::others_write, me, data, false,
       "root (uid 0), in a folder others can write"},
      {"own link in a folder its group can write", me, me, fs::perms::group_write, me, data, false,
       "root (uid 0), in a folder others can write"},
      {"own link in another user's folder", me, test::kNobody, none, me, data, false,
       "root (uid 0), in a folder others can write"},
      {"own link inside a followed link's target", me, me, none, me, inner, true, ""},
      {"another user's link inside a followed link's target", me, me, none, test::kNobody, inner,
       false, nobody},
  };
  ASSERT_EQ(me, 0u) << "giving a link away to another user takes root";
  for (const Case& c : cases) {
    test::TempDir dir;
    fs::create_directories(dir / "drive/data/sub");
    fs::create_directories(dir / "elsewhere");
    fs::create_directories(dir / "game");
    fs::create_directory_symlink(dir / "drive/data", dir / "game/data");
    fs::create_directory_symlink(dir / "elsewhere", dir / "drive/data/inner");
    ASSERT_EQ(::lchown((dir / "game/data").c_str(), c.link_owner, c.link_owner), 0);
    ASSERT_EQ(::lchown((dir / "drive/data/inner").c_str(), c.inner_owner, c.inner_owner), 0);
    ASSERT_EQ(::chown((dir / "game").c_str(), c.folder_owner, c.folder_owner), 0);
    fs::permissions(dir / "game", c.folder_write, fs::perm_options::add);

    bool crossed = false;
    std::string owner = "unset";
    const auto folder =
        ContainedFolder::Open(dir / "game", c.segments, true, &crossed, nullptr, &owner);
    EXPECT_EQ(folder.has_value(), c.opened) << c.what;
    EXPECT_EQ(crossed, !c.opened) << c.what;
    EXPECT_EQ(owner, c.owner) << c.what;
    // Written where the link leads, or nowhere at all.
    if (folder) {
      auto appending = folder->OpenToAppend("new.txt");
      EXPECT_TRUE(appending && appending->Append("x")) << c.what;
    }
    const std::string written = c.segments == data ? "drive/data/sub/new.txt" : "elsewhere/new.txt";
    EXPECT_EQ(fs::exists(dir / written), c.opened) << c.what;

    // The settings file asks the same of a link to a file.
    const auto game = ContainedFolder::Open(dir / "game", {}, false);
    ASSERT_TRUE(game) << c.what;
    const auto target = game->TrustedLinkTarget("data", &owner);
    EXPECT_EQ(target.has_value(),
              c.link_owner != test::kNobody && c.folder_owner == me && c.folder_write == none)
        << c.what;
    if (target) {
      EXPECT_EQ(*target, dir / "drive/data") << c.what;
    }
  }
}

// The rule behind following a link, for a player who is not root (the real
// binary runs such rows in the end-to-end tables) and for root, and the rule
// kanade.exe applies, elevated, to a junction: what decides is who made the
// link, who may write where it lies, and where it leads.
TEST(ContainedFolder, JudgesLinksByWhoMadeThemAndWhereTheyLead) {
  constexpr uid_t kPlayer = 4242;
  constexpr uid_t kFriend = 4343;
  const auto described = [](uid_t owner, mode_t mode) {
    struct stat info {};
    info.st_uid = owner;
    info.st_mode = mode;
    return info;
  };
  struct PosixCase {
    const char* what;
    uid_t self, link_owner, folder_owner;
    mode_t folder_mode;
    std::optional<std::string> refusal;
  };
  const PosixCase posix[] = {
      {"own link, umask 002", kPlayer, kPlayer, kPlayer, S_IFDIR | 0775, std::nullopt},
      {"own link on a drive mounted umask=000", kPlayer, kPlayer, kPlayer, S_IFDIR | 0777,
       std::nullopt},
      {"the folder owner's link", kPlayer, kFriend, kFriend, S_IFDIR | 0777, std::nullopt},
      {"root's link", kPlayer, 0, kPlayer, S_IFDIR | 0777, std::nullopt},
      {"another user's link in the player's open folder", kPlayer, test::kNobody, kPlayer,
       S_IFDIR | 0777, "nobody (uid 65534)"},
      {"run as root: root's link where root alone writes", 0, 0, 0, S_IFDIR | 0755, std::nullopt},
      {"run as root: root's link in a group-writable folder", 0, 0, 0, S_IFDIR | 0775,
       "root (uid 0), in a folder others can write"},
      {"run as root: the player's own link", 0, kPlayer, kPlayer, S_IFDIR | 0755, "uid 4242"},
  };
  for (const PosixCase& c : posix) {
    EXPECT_EQ(LinkRefusal(c.self, described(c.link_owner, S_IFLNK | 0777),
                          described(c.folder_owner, c.folder_mode)),
              c.refusal)
        << c.what;
  }

  struct WindowsCase {
    const char* what;
    WindowsLinkFacts facts;
    LinkVerdict verdict;
  };
  const WindowsCase windows[] = {
      {"under Program Files: only administrators write there", {true, true, false, false},
       LinkVerdict::kFollow},
      {"in a Steam library, to where the player writes anyway", {true, true, true, true},
       LinkVerdict::kFollow},
      {"in a Steam library, re-pointed at the system folder", {true, true, true, false},
       LinkVerdict::kRefuseTarget},
      {"another user's junction", {true, false, false, true}, LinkVerdict::kRefuseOwner},
      {"a volume without access lists", {false, false, true, false}, LinkVerdict::kFollow},
  };
  for (const WindowsCase& c : windows) EXPECT_EQ(JudgeWindowsLink(c.facts), c.verdict) << c.what;
}

// Files that the program keeps for itself must be its user's, root's or an
// administrator's; the owner is asked of the entry itself, never a link's target.
TEST(ContainedFolder, NamesTheOwnerOfAnotherUsersFile) {
  test::TempDir dir;
  test::WriteFile(dir / "mine", "x");
  test::WriteFile(dir / "theirs", "x");
  ASSERT_EQ(::chown((dir / "theirs").c_str(), test::kNobody, test::kNobody), 0);
  std::filesystem::create_symlink(dir / "mine", dir / "their link");
  ASSERT_EQ(::lchown((dir / "their link").c_str(), 12345, 12345), 0);
  const auto folder = ContainedFolder::Open(dir.path(), {}, false);
  ASSERT_TRUE(folder);
  EXPECT_EQ(folder->ForeignOwner("mine"), std::nullopt);
  EXPECT_EQ(folder->ForeignOwner("missing"), std::nullopt);
  EXPECT_EQ(folder->ForeignOwner("."), std::nullopt);
  EXPECT_EQ(folder->ForeignOwner("theirs"), "nobody (uid 65534)");
  EXPECT_EQ(folder->ForeignOwner("their link"), "uid 12345");
  ASSERT_EQ(::chown(dir.path().c_str(), test::kNobody, test::kNobody), 0);
  EXPECT_EQ(folder->ForeignOwner(""), "nobody (uid 65534)");
}

}  // namespace
}  // namespace kanade
