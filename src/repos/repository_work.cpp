#include "repos/repository_work.h"

#include <optional>
#include <set>
#include <vector>

#include "repos/install_record.h"
#include "repos/module_engine.h"
#include "repos/repository_fetch.h"
#include "repos/repository_format.h"
#include "state/patcher_state.h"
#include "util/path.h"
#include "util/text.h"

namespace kanade {

bool RepositoryHasWork(std::string_view repository_name, std::string_view target_folder,
                       PatchAction action, std::span<const std::string> replaced) {
  const bool install = action == PatchAction::kInstall;
  const std::string target = StripTrailingSeparators(target_folder);
  const std::optional<std::string> text = VerifiedCopyOf(repository_name);
  if ((!text && install) || target.empty() || !IsDirectory(target)) return false;
  std::vector<std::optional<ModuleEntry>> listed;
  if (text) {
    for (const std::string& raw : SplitLines(*text)) {
      listed.push_back(ParseModuleLine(SplitRepositoryLine(raw)));
    }
  }
  if (install && ModulesHaveWork(listed, PatchAction::kInstall, target)) return true;

  // What the record names would go: what this repository no longer lists
  // (all of it, uninstalling) and what the other modes left. Erring towards
  // work only costs a wait.
  Reason problem;
  const InstallRecord record = InstallRecord::Load(&problem);
  std::set<std::string> keep;
  for (const auto& entry : listed) {
    if (install && entry) keep.insert(RecordKey(target, DownloadPrefix + entry->RelativePath));
  }
  std::vector<std::optional<ModuleEntry>> going;
  std::vector<std::string> repositories(replaced.begin(), replaced.end());
  repositories.emplace_back(repository_name);
  for (const std::string& repository : repositories) {
    for (const RecordedFile& file : record.FilesOf(repository, target)) {
      if (keep.count(RecordKey(target, file.Path)) == 0) {
        going.push_back(ModuleEntry{file.Path, {}, file.Sha256, file.Size});
      }
    }
  }
  // An uninstall may take over an install from before there was a record
  // (all that the copy lists, at most).
  if (!install && !record.Knows(repository_name, target)) {
    for (const auto& entry : listed) {
      if (entry)
        going.push_back(
            ModuleEntry{DownloadPrefix + entry->RelativePath, {}, entry->Sha256, entry->Size});
    }
  }
  return ModulesHaveWork(going, PatchAction::kUninstall, target, true);
}

}  // namespace kanade
