#include "repos/program_file.h"

namespace kanade {

std::optional<std::string> ReadProgramFile(const ContainedFolder& folder, std::string_view name,
                                           std::size_t limit, std::string* foreign,
                                           bool* too_large) {
  foreign->clear();
  if (too_large != nullptr) *too_large = false;
  // The folder first: whoever owns it may swap the file after it is asked about.
  if (const auto owner = folder.ForeignOwner(".")) {
    *foreign = folder.Path() + " belongs to " + *owner;
    return std::nullopt;
  }
  if (const auto owner = folder.ForeignOwner(name)) {
    *foreign = folder.PathOf(name) + " belongs to " + *owner;
    return std::nullopt;
  }
  return folder.ReadWhole(name, limit, too_large);
}

}  // namespace kanade
