// The module update engine: one repository line against a target folder.
#pragma once

#include <string_view>

#include "repos/repository_format.h"

namespace kanade {

inline constexpr std::string_view kActionInstall = "INST";
inline constexpr std::string_view kActionUninstall = "UNINST";

/// How long the engine waits for a download between two looks at it.
inline constexpr int kDownloadPollMs = 100;

/// Carries out one repository line in `target_folder` (no trailing
/// separator): "INST" downloads, checks and writes the module's file unless
/// it is current; "UNINST" deletes it. True when a file was written or
/// deleted. Lines that are no module lines, other actions and module paths
/// that would leave the target folder change nothing and give false.
bool ProcessModuleLine(const RepositoryLine& line, std::string_view action,
                       std::string_view target_folder);

/// True when `relative` (DownloadPrefix included) stays inside the folder it
/// is joined to: not empty, no root, no drive letter, no ".." segment. Both
/// "\" and "/" count as separators, since the game's folders are Windows
/// folders.
bool IsContainedModulePath(std::string_view relative);

}  // namespace kanade
