#include "discovery/game_location.h"

#include "discovery/registry.h"
#include "discovery/steam_libraries.h"
#include "util/path.h"
#include "util/text.h"

namespace kanade {

namespace {

constexpr std::string_view kSteamKey = "SOFTWARE\\Valve\\Steam";
constexpr std::string_view kSteamPathValue = "SteamPath";
// Written by Steam's installer for the whole machine.
constexpr std::string_view kSteamMachineKeys[] = {"SOFTWARE\\WOW6432Node\\Valve\\Steam",
                                                  "SOFTWARE\\Valve\\Steam"};
constexpr std::string_view kSteamInstallPathValue = "InstallPath";
constexpr std::string_view kStandAloneKey =
    "SOFTWARE\\WOW6432Node\\Portalarium\\Shroud of the Avatar";
constexpr std::string_view kStandAlonePathValue = "Path";
constexpr std::string_view kDialogTitle = "SotA ゲームフォルダを指定する";
constexpr std::string_view kDialogFilter = "Shroud of the Avatar|Shroud of the Avatar.exe";
constexpr int kFirstFilterEntry = 1;  // counted from 1, as Windows does

std::optional<std::string> g_profile_for_test;

std::string Sep() {
  return std::string(PathSeparator);
}

bool IsTrailingSeparator(char c) {
#ifdef _WIN32
  return c == '\\' || c == '/';
#else
  return c == '/';
#endif
}

std::string WithoutTrailingSeparators(std::string_view path) {
  while (!path.empty() && IsTrailingSeparator(path.back())) path.remove_suffix(1);
  return std::string(path);
}

// A NUL inside a path would make the system look at a shorter path.
bool HasNul(std::string_view text) {
  return text.find('\0') != std::string_view::npos;
}

// The folder part of a dialog answer: up to and including the last
// separator, a leading quote skipped, nothing from a "|" on.
std::string FolderOfDialogAnswer(std::string_view path) {
  if (!path.empty() && path.front() == '"') path.remove_prefix(1);
  const auto bar = path.find('|');
  if (bar != std::string_view::npos) path = path.substr(0, bar);
  const auto last = path.find_last_of("\\/");
  if (last == std::string_view::npos) return {};
  return WithoutTrailingSeparators(path.substr(0, last + 1));
}

// The candidate without trailing separators when it holds the game's
// executable; empty otherwise.
std::string CheckedGameFolder(std::string_view candidate) {
  if (candidate.empty() || HasNul(candidate)) return {};
  std::string folder = WithoutTrailingSeparators(candidate);
  if (!IsDirectory(folder) || !IsFile(folder + Sep() + std::string(kGameExecutableName))) return {};
  return folder;
}

// The data-folder candidate below a profile folder ending in a separator.
std::string DataFolderBelow(const std::string& profile) {
  return profile + "AppData" + Sep() + "Roaming" + Sep() + "Portalarium" + Sep() +
         "Shroud of the Avatar";
}

// The Steam root from the user's own key; a user who elevated with another
// account's credentials sees that account's key, so the machine's install
// path stands in when the user's value is empty.
std::string SteamRootFolder() {
  std::string root = ReadRegistryValue(RootKey::kCurrentUser, kSteamKey, kSteamPathValue);
  for (const std::string_view key : kSteamMachineKeys) {
    if (!root.empty()) break;
    root = ReadRegistryValue(RootKey::kLocalMachine, key, kSteamInstallPathValue);
  }
  root = ReplaceAll(root, "/", PathSeparator);
  while (EndsWith(root, PathSeparator)) root.resize(root.size() - PathSeparator.size());
  return root;
}

}  // namespace

Flag ValidateGameFolder(std::string_view candidate) {
  const std::string folder = CheckedGameFolder(candidate);
  if (folder.empty()) return 0;
  PatcherState& s = State();
  s.GameFolder = folder;
  s.AssetBundlesFolder = folder + Sep() + "Shroud of the Avatar_Data" + Sep() + "AssetBundles";
  s.GameVersionFile = folder + Sep() + "Shroud of the Avatar_Data" + Sep() + "gameversion.txt";
  s.LanguageFile = folder + Sep() + "Language.txt";
  s.LocOverridesFile = s.AssetBundlesFolder + Sep() + "locoverrides.portresources.unity3d";
  // Under Proton the data folder sits beside the game, so it follows
  // whichever game folder is in use: detected, overridden or browsed.
  const std::string profile = ProfileFolderBesideGame(folder);
  if (!profile.empty()) {
    const std::string data = DataFolderBelow(profile);
    if (ValidateDataFolder(data)) s.AppDataFolder = data;
  }
  return 1;
}

Flag ValidateDataFolder(std::string_view candidate) {
  if (candidate.empty() || HasNul(candidate)) return 0;
  const std::string folder = WithoutTrailingSeparators(candidate);
  if (!IsDirectory(folder)) return 0;
  const std::string player_data = folder + Sep() + std::string(kPlayerDataFileName);
  if (!IsFile(player_data)) return 0;
  PatcherState& s = State();
  s.DataFolder = folder;
  s.PlayerDataFile = player_data;
  s.LuaFolder = folder + Sep() + "Lua";
  s.FifoFolder = folder + Sep() + "Lua" + Sep() + "kanade-fifo";
  return 1;
}

void DetectGameLocation() {
  PatcherState& s = State();

  // Steam copy.
  const std::string root = SteamRootFolder();
  if (!root.empty()) {
    ScanSteamLibraries(root, PathSeparator);
    // A library can name a folder that Steam left behind with only our
    // files in it; only one that holds the game counts.
    const std::string candidate = FindSteamAppFolder(
        kGameSteamAppId,
        [](const std::string& folder) { return !CheckedGameFolder(folder).empty(); });
    if (ValidateGameFolder(candidate)) s.SteamGameFolder = candidate;
  }

  // Stand-alone installation; validated last so that it wins over Steam.
  const std::string installed =
      ReadRegistryValue(RootKey::kLocalMachine, kStandAloneKey, kStandAlonePathValue);
  if (ValidateGameFolder(installed)) s.InstalledGameFolder = installed;

  // Per-user data folder. Without a profile folder the path would be
  // relative to wherever we run, so there is no candidate then.
  const std::string profile = UserProfileFolder();
  if (!profile.empty()) {
    const std::string candidate = DataFolderBelow(profile);
    if (ValidateDataFolder(candidate)) s.AppDataFolder = candidate;
  }
}

GameFolderDialog GameFolderDialogAt(std::string_view start) {
  std::string initial(start);
  if (initial.empty() || (initial.back() != '/' && initial.back() != '\\')) {
    initial += Sep() + std::string(kGameExecutableName);
  }
  return {std::string(kDialogTitle), initial, std::string(kDialogFilter), kFirstFilterEntry};
}

std::string GameFolderOfDialogAnswer(std::string_view answer) {
  const std::string folder = FolderOfDialogAnswer(answer);
  if (folder.empty() || HasNul(folder)) return {};
  if (!IsDirectory(folder) || !IsFile(folder + Sep() + std::string(kGameExecutableName))) return {};
  return folder;
}

std::string UserProfileFolder() {
  if (g_profile_for_test) return *g_profile_for_test;
  return PlatformUserProfileFolder();
}

void SetUserProfileFolderForTest(std::optional<std::string> folder) {
  g_profile_for_test = std::move(folder);
}

}  // namespace kanade
