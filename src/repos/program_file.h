// The files that the program keeps for itself (repository copies and their
// validators) are taken only from the running user, an administrator or
// root: the program folder may be one that other users can write.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "util/contained_folder.h"

namespace kanade {

/// The whole of `name` in `folder`, read as ContainedFolder::ReadWhole reads
/// it, when both the folder and the file belong to a trusted owner. Nothing
/// otherwise; `foreign` then says whose they are ("/p/repos/x.repo belongs
/// to nobody (uid 65534)") and stays empty for any other reason.
std::optional<std::string> ReadProgramFile(const ContainedFolder& folder, std::string_view name,
                                           std::size_t limit, std::string* foreign,
                                           bool* too_large = nullptr);

}  // namespace kanade
