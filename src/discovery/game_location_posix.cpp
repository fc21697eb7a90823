// On Linux the game runs under Steam's Proton, inside a Windows prefix that
// Steam keeps in the library holding the game; its user folder plays the
// part of the Windows profile folder.
#include <cstdlib>
#include <filesystem>

#include "discovery/game_location.h"
#include "discovery/steam_libraries.h"
#include "state/patcher_state.h"
#include "util/path.h"
#include "util/text.h"

namespace kanade {

namespace {

std::string PrefixUserFolder(const std::string& steamapps, const std::string& sep) {
  return steamapps + sep + "compatdata" + sep + std::string(kGameSteamAppId) + sep + "pfx" + sep +
         "drive_c" + sep + "users" + sep + "steamuser";
}

bool HoldsGame(const std::string& library) {
  return IsFile(library + SteamPathSeparator + "appmanifest_" + std::string(kGameSteamAppId) +
                ".acf");
}

// "<library>/steamapps/common/<installdir>" gives "<library>/steamapps";
// any other folder gives nothing.
std::string SteamappsOfGameFolder(std::string_view game_folder) {
  const std::filesystem::path game = FsPath(StripTrailingSeparators(game_folder));
  const std::filesystem::path common = game.parent_path();
  const std::filesystem::path steamapps = common.parent_path();
  if (game.filename().empty() || common == game || steamapps == common) return {};
  if (!EqualsIgnoreCaseAscii(Utf8Path(common.filename()), "common") ||
      !EqualsIgnoreCaseAscii(Utf8Path(steamapps.filename()), "steamapps")) {
    return {};
  }
  return Utf8Path(steamapps);
}

}  // namespace

std::string ProfileFolderBesideGame(std::string_view game_folder) {
  if (game_folder.empty()) return {};
  const std::string steamapps = SteamappsOfGameFolder(game_folder);
  if (steamapps.empty()) return {};
  const std::string user = PrefixUserFolder(steamapps, std::string(PathSeparator));
  return IsDirectory(user) ? user + std::string(PathSeparator) : std::string();
}

std::string PlatformUserProfileFolder() {
  // The prefix beside the game folder in use first. Then the library that
  // lists the game, and last a prefix left elsewhere (the game moved, or
  // Steam kept it in the main library).
  const std::string beside = ProfileFolderBesideGame(State().GameFolder);
  if (!beside.empty()) return beside;
  for (const bool need_game : {true, false}) {
    for (const std::string& library : SteamLibraryFolders) {
      if (need_game && !HoldsGame(library)) continue;
      const std::string user = PrefixUserFolder(library, SteamPathSeparator);
      if (IsDirectory(user)) return user + std::string(PathSeparator);
    }
  }
  const char* home = std::getenv("HOME");
  if (home == nullptr || *home == '\0') return {};
  std::string folder = home;
  if (folder.back() != '/') folder += PathSeparator;
  return folder;
}

}  // namespace kanade
