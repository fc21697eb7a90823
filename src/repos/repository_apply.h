// Applying and uninstalling whole repositories from their local copies.
#pragma once

#include <span>
#include <string_view>

#include "repos/engine_sink.h"
#include "repos/outcomes.h"

namespace kanade {

/// Runs every line of the verified copy of `repository_name` through the
/// module engine with `action` in `target_folder` (trailing separators are
/// ignored), then removes what the record of installed files names for it
/// and a newer copy withdrew, unless a repository applied in this run lists
/// it. Every module's events go to `sink`.
/// `replaced` names repositories that install into the same folder instead
/// of this one (the other translation modes): what they left there and this
/// one does not list goes the same way. Nothing happens when the local copy
/// is missing or does not verify, or when the target folder is missing; the
/// outcome says why.
RepositoryOutcome ProcessRepository(std::string_view repository_name,
                                    std::string_view target_folder, PatchAction action,
                                    EngineSink& sink, std::span<const std::string> replaced = {});

/// ProcessRepository installing, between the repository's start and end
/// events; empties DownloadPrefix afterwards whatever happened.
RepositoryOutcome ApplyRepository(std::string_view repository_name, std::string_view target_folder,
                                  EngineSink& sink, std::span<const std::string> replaced = {});

/// The same uninstalling.
RepositoryOutcome UninstallRepository(std::string_view repository_name,
                                      std::string_view target_folder, EngineSink& sink,
                                      std::span<const std::string> replaced = {});

/// Forgets which paths the repositories applied so far listed: a new patch
/// run starts.
void ForgetAppliedPaths();

}  // namespace kanade
