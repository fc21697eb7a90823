// Applying and uninstalling whole repositories from their local copies.
#pragma once

#include <string_view>

#include "repos/outcomes.h"

namespace kanade {

/// Runs every line of the local repository `repository_name` through the
/// module engine with `action` in `target_folder` (trailing separators are
/// ignored), then removes what a newer copy withdrew (see
/// withdrawn_modules.h) unless a repository applied in this run lists it.
/// Nothing happens when the local copy is missing or does not verify, or
/// when the target folder is missing; the outcome says why.
RepositoryOutcome ProcessRepository(std::string_view repository_name,
                                    std::string_view target_folder, std::string_view action);

/// ProcessRepository with "INST" under one summary line; empties
/// DownloadPrefix afterwards whatever happened.
RepositoryOutcome ApplyRepository(std::string_view repository_name, std::string_view target_folder);

/// ProcessRepository with "UNINST" under one summary line; empties
/// DownloadPrefix afterwards whatever happened.
RepositoryOutcome UninstallRepository(std::string_view repository_name,
                                      std::string_view target_folder);

/// Forgets which paths the repositories applied so far listed: a new patch
/// run starts.
void ForgetAppliedPaths();

}  // namespace kanade
