// Modules that a release no longer lists. The verified local copy is the
// install record: when a newer copy replaces it, what the old one listed and
// the new one does not is noted here until that repository is next applied
// or uninstalled in this process, which removes those files while they still
// hold the digest the old copy listed.
#pragma once

#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "repos/repository_format.h"

namespace kanade {

/// Notes the modules of `old_text` (only when it is a verified copy of
/// `local_name`) whose paths `new_text` does not list.
void NoteWithdrawnModules(std::string_view local_name, std::string_view old_text,
                          std::string_view new_text);

/// The modules noted for `local_name`, forgotten here once taken.
std::vector<ModuleEntry> TakeWithdrawnModules(std::string_view local_name);

/// What another repository that installs into the same folder left there
/// for `local_name` to take over: the modules noted as withdrawn from it and
/// those its verified local copy lists, each with a digest and a
/// ModulePathKey that `listed` does not hold.
std::vector<ModuleEntry> ModulesLeftBy(std::string_view local_name,
                                       const std::set<std::string>& listed);

}  // namespace kanade
