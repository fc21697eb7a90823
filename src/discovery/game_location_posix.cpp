// On Linux the game runs under Steam's Proton, inside a Windows prefix that
// Steam keeps in the library holding the game; its user folder plays the
// part of the Windows profile folder.
#include <cstdlib>

#include "discovery/game_location.h"
#include "discovery/steam_libraries.h"
#include "util/path.h"

namespace kanade {

namespace {

std::string PrefixUserFolder(const std::string& library) {
  const std::string& sep = SteamPathSeparator;
  return library + sep + "compatdata" + sep + std::string(kGameSteamAppId) + sep + "pfx" + sep +
         "drive_c" + sep + "users" + sep + "steamuser";
}

bool HoldsGame(const std::string& library) {
  return IsFile(library + SteamPathSeparator + "appmanifest_" + std::string(kGameSteamAppId) +
                ".acf");
}

}  // namespace

std::string PlatformUserProfileFolder() {
  // Prefer the library that holds the game; a prefix left elsewhere (the game
  // moved, or Steam kept it in the main library) is the next best.
  for (const bool need_game : {true, false}) {
    for (const std::string& library : SteamLibraryFolders) {
      if (need_game && !HoldsGame(library)) continue;
      const std::string user = PrefixUserFolder(library);
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
