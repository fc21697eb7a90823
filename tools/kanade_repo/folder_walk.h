// The walk through a folder tree that building and publishing share.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <system_error>

namespace kanade {

/// An entry below the walked folder.
struct TreeEntry {
  std::filesystem::path Full;
  std::string Relative;               // from the walked folder, "/" between folders
  std::filesystem::file_type Kind{};  // of the entry itself, links not followed
  std::error_code KindError;          // set when its kind could not be read
};

/// Visits every entry below `root`, never following symbolic links; `visit`
/// returns true for a folder to walk into. `unreadable` hears of each folder
/// that could not be listed in full, so that nothing is left out silently.
void WalkFolderTree(
    const std::filesystem::path& root, const std::function<bool(const TreeEntry&)>& visit,
    const std::function<void(const std::filesystem::path&, const std::error_code&)>& unreadable);

}  // namespace kanade
