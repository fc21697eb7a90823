// Applying and uninstalling whole repositories from their local copies.
#pragma once

#include <string_view>

namespace kanade {

/// Runs every line of the local repository `repository_name` through the
/// module engine with `action` in `target_folder` (trailing separators are
/// ignored). Nothing happens when the local copy is missing or does not
/// verify, or when the target folder is missing. True when some line wrote
/// or deleted a file.
bool ProcessRepository(std::string_view repository_name, std::string_view target_folder,
                       std::string_view action);

/// ProcessRepository with "INST" under one summary line; empties
/// DownloadPrefix afterwards whatever happened.
bool ApplyRepository(std::string_view repository_name, std::string_view target_folder);

/// ProcessRepository with "UNINST" under one summary line; empties
/// DownloadPrefix afterwards whatever happened.
bool UninstallRepository(std::string_view repository_name, std::string_view target_folder);

}  // namespace kanade
