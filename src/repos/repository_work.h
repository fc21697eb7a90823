// Whether applying or uninstalling a repository would touch a file, asked
// before it is done: a step that would change nothing need not wait for
// the game to end.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "repos/outcomes.h"

namespace kanade {

/// Whether ApplyRepository (kInstall) or UninstallRepository (kUninstall) of
/// `repository_name` in `target_folder`, with the same `replaced`, would now
/// write or remove a file there: a module of the verified copy whose file is
/// not current, or a recorded file that would go and still has its digest.
/// The module engine decides each file as it would; nothing is written.
bool RepositoryHasWork(std::string_view repository_name, std::string_view target_folder,
                       PatchAction action, std::span<const std::string> replaced = {});

}  // namespace kanade
