// Finding the Steam libraries and a game's folder in them from Steam's own
// files, read as lines of TAB-separated, quoted keys and values.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace kanade {

/// The "steamapps" folders of every library found by the last scan: the
/// Steam root's own first, then the library list's in file order.
inline std::vector<std::string> SteamLibraryFolders;
/// The separator the last scan joined with; FindSteamAppFolder uses it too.
inline std::string SteamPathSeparator = "/";

/// Empties the library list and puts the separator back to "/".
void ResetSteamLibraries();

/// One line of a Steam file split into its key and value: TAB runs count as
/// one, outer TABs are dropped, and surrounding double quotes are removed.
struct SteamLine {
  std::string key;
  std::string value;
};
SteamLine SplitSteamLine(std::string_view line);

/// Resolves the backslash escapes Steam writes in its values (\\ \" \n and
/// the like); an unknown escape keeps its backslash.
std::string UnescapeText(std::string_view text);

/// Rebuilds SteamLibraryFolders from the Steam root folder and its library
/// list ("libraryfolders.vdf" in any case), in both the flat form (number and
/// path on one line) and the nested form (number, then a block with "path").
void ScanSteamLibraries(std::string_view root_folder, std::string_view separator);

/// The install folder of `app_id` from the first library whose manifest names
/// an existing folder under "common" that `accept` takes (any folder when
/// `accept` is empty); empty when none does. Steam leaves folders behind when
/// a game moves, so a later library may hold the real one.
std::string FindSteamAppFolder(std::string_view app_id,
                               const std::function<bool(const std::string&)>& accept = {});

}  // namespace kanade
