// Applying and uninstalling whole repositories from their local copies.
#pragma once

#include <span>
#include <string_view>

#include "repos/outcomes.h"

namespace kanade {

/// Runs every line of the local repository `repository_name` through the
/// module engine with `action` in `target_folder` (trailing separators are
/// ignored), then removes what a newer copy withdrew (see
/// withdrawn_modules.h) unless a repository applied in this run lists it.
/// `replaced` names repositories that install into the same folder instead
/// of this one (the other translation modes): what they left there and this
/// one does not list goes the same way. Nothing happens when the local copy
/// is missing or does not verify, or when the target folder is missing; the
/// outcome says why.
RepositoryOutcome ProcessRepository(std::string_view repository_name,
                                    std::string_view target_folder, std::string_view action,
                                    std::span<const std::string> replaced = {});

/// ProcessRepository with "INST" under one summary line; empties
/// DownloadPrefix afterwards whatever happened.
RepositoryOutcome ApplyRepository(std::string_view repository_name, std::string_view target_folder,
                                  std::span<const std::string> replaced = {});

/// ProcessRepository with "UNINST" under one summary line; empties
/// DownloadPrefix afterwards whatever happened.
RepositoryOutcome UninstallRepository(std::string_view repository_name,
                                      std::string_view target_folder,
                                      std::span<const std::string> replaced = {});

/// Forgets which paths the repositories applied so far listed: a new patch
/// run starts.
void ForgetAppliedPaths();

}  // namespace kanade
