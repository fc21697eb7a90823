// Finding the game: its installation folder (Steam copy, stand-alone
// installation or the user's own choice) and its per-user data folder.
// Results go into PatcherState; a candidate that does not validate changes
// nothing, so every field keeps the last value that did.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "state/patcher_state.h"

namespace kanade {

inline constexpr std::string_view kGameSteamAppId = "326160";
inline constexpr std::string_view kGameExecutableName = "Shroud of the Avatar.exe";
inline constexpr std::string_view kPlayerDataFileName = "CurrentPlayerData.xml";

/// Steam copy, then stand-alone installation (which wins when both
/// validate), then the per-user data folder.
void DetectGameLocation();

/// 1 when `candidate` (trailing separators ignored) is a folder holding the
/// game's executable; GameFolder and its derived paths are then replaced, and
/// so is the data folder when one belongs to that game folder (Proton).
Flag ValidateGameFolder(std::string_view candidate);

/// 1 when `candidate` is a folder holding "CurrentPlayerData.xml"; DataFolder
/// and its derived paths are then replaced. Creates nothing.
Flag ValidateDataFolder(std::string_view candidate);

/// The file dialog that asks the user for the game's executable, opened at
/// `start` (a folder, or a path ending in a separator).
struct GameFolderDialog {
  std::string Title;
  std::string Initial;
  std::string Filter;
  int FirstFilterEntry = 1;
};
GameFolderDialog GameFolderDialogAt(std::string_view start);

/// The folder of the dialog's answer when it holds the game, else (cancelled,
/// wrong folder) the empty text.
std::string GameFolderOfDialogAnswer(std::string_view answer);

/// The user's profile folder ending in PathSeparator, or empty when unknown.
/// On Linux: the user folder of the Proton prefix beside the game folder in
/// use, else of the library that lists the game, else the home folder.
std::string UserProfileFolder();

/// The profile folder that belongs to the game folder itself, ending in
/// PathSeparator, or empty. On Linux: the user folder of the Proton prefix in
/// the Steam library that holds `game_folder`
/// ("<library>/steamapps/common/<installdir>"); on Windows always empty.
std::string ProfileFolderBesideGame(std::string_view game_folder);

/// Makes UserProfileFolder answer `folder`; nothing restores the platform's.
void SetUserProfileFolderForTest(std::optional<std::string> folder);

/// The platform's answer behind UserProfileFolder.
std::string PlatformUserProfileFolder();

}  // namespace kanade
