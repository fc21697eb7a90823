#include "discovery/game_location.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "discovery/fake_registry.h"
#include "discovery/steam_libraries.h"
#include "discovery/steam_tree.h"
#include "support/temp_dir.h"

namespace kanade {
namespace {

using test::TempDir;
using test::WriteFile;

constexpr std::string_view kSteamKey = "SOFTWARE\\Valve\\Steam";
constexpr std::string_view kGameKey = "SOFTWARE\\WOW6432Node\\Portalarium\\Shroud of the Avatar";
constexpr std::string_view kDataBelowProfile = "AppData/Roaming/Portalarium/Shroud of the Avatar";

std::string MakeGame(const std::string& folder) {
  WriteFile(folder + "/Shroud of the Avatar.exe", "MZ");
  return folder;
}

class GameLocation : public ::testing::Test {
 protected:
  void SetUp() override {
    test::ResetForTest(dir.path());
    ResetSteamLibraries();
    SetUserProfileFolderForTest(dir / "profile/");
  }
  void TearDown() override {
    SetUserProfileFolderForTest(std::nullopt);
    ResetSteamLibraries();
  }
  // A Steam root holding the game in its own library.
  std::string SteamWithGame() {
    registry.SetText(RootKey::kCurrentUser, kSteamKey, "SteamPath", dir / "Steam");
    return test::InstallSteamGame(dir / "Steam", "Shroud of the Avatar");
  }

  TempDir dir;
  test::FakeRegistry registry;
};

TEST_F(GameLocation, ValidationSetsTheFolderAndItsPaths) {
  const std::string game = MakeGame(dir / "Game");
  EXPECT_EQ(ValidateGameFolder(game + "//"), 1);
  const PatcherState& s = State();
  EXPECT_EQ(s.GameFolder, game);
  EXPECT_EQ(s.AssetBundlesFolder, game + "/Shroud of the Avatar_Data/AssetBundles");
  EXPECT_EQ(s.GameVersionFile, game + "/Shroud of the Avatar_Data/gameversion.txt");
  EXPECT_EQ(s.LanguageFile, game + "/Language.txt");
  EXPECT_EQ(s.LocOverridesFile, s.AssetBundlesFolder + "/locoverrides.portresources.unity3d");

  // Failing candidates change nothing.
  std::filesystem::create_directories(dir / "Empty");
  for (const std::string& bad : {std::string(), dir / "Empty", dir / "missing",
                                 game + "/Shroud of the Avatar.exe", game + std::string(1, '\0')}) {
    EXPECT_EQ(ValidateGameFolder(bad), 0) << bad;
  }
  EXPECT_EQ(s.GameFolder, game);

  const std::string data = dir / "Data";
  std::filesystem::create_directories(data);
  EXPECT_EQ(ValidateDataFolder(data), 0);
  WriteFile(data + "/CurrentPlayerData.xml", "");
  EXPECT_EQ(ValidateDataFolder(data + "/"), 1);
  EXPECT_EQ(s.DataFolder, data);
  EXPECT_EQ(s.PlayerDataFile, data + "/CurrentPlayerData.xml");
  EXPECT_EQ(s.LuaFolder, data + "/Lua");
  EXPECT_EQ(s.FifoFolder, data + "/Lua/kanade-fifo");
  EXPECT_FALSE(std::filesystem::exists(s.LuaFolder));
}

TEST_F(GameLocation, StandAloneWinsOverSteam) {
  const std::string steam_game = SteamWithGame();
  const std::string installed = MakeGame(dir / "Portalarium/SotA");
  registry.SetText(RootKey::kLocalMachine, kGameKey, "Path", installed + "/");
  DetectGameLocation();
  const PatcherState& s = State();
  EXPECT_EQ(s.SteamGameFolder, steam_game);
  EXPECT_EQ(s.InstalledGameFolder, installed + "/");
  EXPECT_EQ(s.GameFolder, installed);

  // Only Steam left: it is used. Nothing that validated earlier is cleared.
  std::filesystem::remove_all(dir / "Portalarium");
  ResetProgramState();
  DetectGameLocation();
  EXPECT_EQ(s.GameFolder, steam_game);
  std::filesystem::remove_all(dir / "Steam");
  DetectGameLocation();
  EXPECT_EQ(s.GameFolder, steam_game);
  EXPECT_EQ(s.SteamGameFolder, steam_game);
}

TEST_F(GameLocation, SteamPathWithSlashesAndASecondLibrary) {
  std::filesystem::create_directories(dir / "Steam/steamapps");
  const std::string game = test::InstallSteamGame(dir / "Library", "SotA");
  WriteFile(dir / "Steam/steamapps/libraryfolders.vdf",
            test::NestedLibraryList({dir / "Steam", dir / "Library"}));
  registry.SetText(RootKey::kCurrentUser, kSteamKey, "SteamPath", "/" + (dir / "Steam") + "//");
  DetectGameLocation();
  EXPECT_EQ(State().SteamGameFolder, game);
  EXPECT_EQ(State().GameFolder, game);
  EXPECT_EQ(State().InstalledGameFolder, "");
}

TEST_F(GameLocation, MachineWideSteamStandsInForAnEmptyUserKey) {
  // Elevated with another account's credentials: that account's key has no
  // "SteamPath", but the machine knows where Steam is.
  const std::string steam = dir / "Steam";
  const std::string game = test::InstallSteamGame(steam, "Shroud of the Avatar");
  const struct {
    std::string user_value;
    std::string_view machine_key;
    std::string expected;
  } cases[] = {
      {"", "SOFTWARE\\WOW6432Node\\Valve\\Steam", game},
      {"", kSteamKey, game},
      {dir / "Elsewhere", kSteamKey, ""},  // the user's own value decides
  };
  for (const auto& c : cases) {
    test::FakeRegistry machine;
    machine.SetText(RootKey::kCurrentUser, kSteamKey, "SteamPath", c.user_value);
    machine.SetText(RootKey::kLocalMachine, c.machine_key, "InstallPath", steam + "/");
    ResetProgramState();
    DetectGameLocation();
    EXPECT_EQ(State().SteamGameFolder, c.expected) << c.machine_key << " " << c.user_value;
  }
  SetRegistryProvider(&registry);
}

TEST_F(GameLocation, AFolderSteamLeftBehindDoesNotHideTheGame) {
  // The main library's manifest names a folder holding only our own files.
  registry.SetText(RootKey::kCurrentUser, kSteamKey, "SteamPath", dir / "Steam");
  WriteFile(dir / "Steam/steamapps/appmanifest_326160.acf",
            test::AppManifest("326160", "Shroud of the Avatar"));
  WriteFile(dir / "Steam/steamapps/common/Shroud of the Avatar/Language.txt", "ja");
  const std::string game = test::InstallSteamGame(dir / "Library", "Shroud of the Avatar");
  WriteFile(dir / "Steam/steamapps/libraryfolders.vdf",
            test::NestedLibraryList({dir / "Steam", dir / "Library"}));
  DetectGameLocation();
  EXPECT_EQ(State().SteamGameFolder, game);
  EXPECT_EQ(State().GameFolder, game);
}

TEST_F(GameLocation, DataFolderBelowTheProfile) {
  const std::string data = dir / ("profile/" + std::string(kDataBelowProfile));
  std::filesystem::create_directories(data);
  DetectGameLocation();
  EXPECT_EQ(State().DataFolder, "");
  WriteFile(data + "/CurrentPlayerData.xml", "<x/>");
  DetectGameLocation();
  EXPECT_EQ(State().AppDataFolder, data);
  EXPECT_EQ(State().FifoFolder, data + "/Lua/kanade-fifo");
}

TEST_F(GameLocation, UnknownProfileGivesNoDataCandidate) {
  // Without a profile the candidate would be relative to the current folder.
  WriteFile(dir / (std::string(kDataBelowProfile) + "/CurrentPlayerData.xml"), "");
  SetUserProfileFolderForTest("");
  const auto old = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  DetectGameLocation();
  std::filesystem::current_path(old);
  EXPECT_EQ(State().DataFolder, "");
}

TEST_F(GameLocation, TheDialogAcceptsAnyPathInAGameFolder) {
  const std::string game = MakeGame(dir / "Game");
  std::filesystem::create_directories(dir / "Other");
  EXPECT_EQ(GameFolderOfDialogAnswer(game + "/Language.txt"), game);
  EXPECT_EQ(GameFolderOfDialogAnswer("\"" + game + "/typed name.exe"), game);
  EXPECT_EQ(GameFolderOfDialogAnswer(dir / "Other/Shroud of the Avatar.exe"), "");
  EXPECT_EQ(GameFolderOfDialogAnswer(""), "");

  const GameFolderDialog dialog = GameFolderDialogAt("");
  EXPECT_EQ(dialog.Title, "SotA ゲームフォルダを指定する");
  EXPECT_EQ(dialog.Filter, "Shroud of the Avatar|Shroud of the Avatar.exe");
  EXPECT_EQ(dialog.Initial, "/Shroud of the Avatar.exe");
  EXPECT_EQ(GameFolderDialogAt(game).Initial, game + "/Shroud of the Avatar.exe");
  EXPECT_EQ(GameFolderDialogAt(game + "/").Initial, game + "/");
}

#ifndef _WIN32
// Steam on Linux: the client in the home folder, the game in a second library
// and its data in the Proton prefix of that library.
TEST_F(GameLocation, ProtonInstallationIsFoundFromHome) {
  SetRegistryProvider(nullptr);
  SetUserProfileFolderForTest(std::nullopt);
  const std::string home = dir / "home";
  const char* old_home = std::getenv("HOME");
  const std::string saved = old_home != nullptr ? old_home : "";
  ::setenv("HOME", home.c_str(), 1);

  const std::string steam = home + "/.local/share/Steam";
  std::filesystem::create_directories(steam + "/steamapps");
  std::filesystem::create_directories(home + "/.steam");
  std::filesystem::create_directory_symlink(steam, home + "/.steam/steam");
  const std::string library = dir / "games";
  const std::string game = test::InstallSteamGame(library, "Shroud of the Avatar");
  WriteFile(steam + "/steamapps/libraryfolders.vdf", test::NestedLibraryList({steam, library}));
  EXPECT_EQ(UserProfileFolder(), home + "/");

  const std::string user = library + "/steamapps/compatdata/326160/pfx/drive_c/users/steamuser";
  const std::string data = user + "/" + std::string(kDataBelowProfile);
  WriteFile(data + "/CurrentPlayerData.xml", "<x/>");
  DetectGameLocation();
  EXPECT_EQ(State().SteamGameFolder, game);
  EXPECT_EQ(State().GameFolder, game);
  EXPECT_EQ(State().InstalledGameFolder, "");
  EXPECT_EQ(UserProfileFolder(), user + "/");
  EXPECT_EQ(State().DataFolder, data);

  // A game folder chosen by hand in a library Steam does not list brings its
  // own prefix's data folder; folders outside a library leave it alone.
  const std::string moved = test::InstallSteamGame(dir / "moved", "SotA");
  const std::string moved_data = dir / ("moved/steamapps/compatdata/326160/pfx/drive_c/users/"
                                        "steamuser/" +
                                        std::string(kDataBelowProfile));
  WriteFile(moved_data + "/CurrentPlayerData.xml", "<x/>");
  const std::string no_prefix = test::InstallSteamGame(dir / "bare", "SotA");
  for (const std::string& folder :
       {MakeGame(dir / "common/SotA"), MakeGame(dir / "steamapps/SotA"), no_prefix}) {
    ASSERT_EQ(ValidateGameFolder(folder), 1);
    EXPECT_EQ(State().DataFolder, data) << folder;
  }
  ASSERT_EQ(ValidateGameFolder(moved + "/"), 1);
  EXPECT_EQ(State().DataFolder, moved_data);
  EXPECT_EQ(UserProfileFolder(),
            dir / "moved/steamapps/compatdata/326160/pfx/drive_c/users/steamuser/");

  if (old_home != nullptr) {
    ::setenv("HOME", saved.c_str(), 1);
  } else {
    ::unsetenv("HOME");
  }
}
#endif

}  // namespace
}  // namespace kanade
