#include "repos/repository_apply.h"

#include <map>
#include <set>
#include <string>
#include <vector>

#include "repos/module_engine.h"
#include "repos/publisher_keys.h"
#include "repos/repository_fetch.h"
#include "repos/repository_format.h"
#include "repos/repository_server.h"
#include "repos/repository_trust.h"
#include "repos/run_report.h"
#include "repos/withdrawn_modules.h"
#include "state/patcher_state.h"
#include "util/path.h"
#include "util/text.h"

namespace kanade {

namespace {

// Per repository applied in this run, target folder + "\n" + ModulePathKey
// of every module its copy lists: a withdrawal never takes what another
// repository installs.
std::map<std::string, std::set<std::string>>& AppliedPaths() {
  static std::map<std::string, std::set<std::string>> paths;
  return paths;
}

std::string WithoutTrailingSeparators(std::string_view folder) {
  std::string text(folder);
  while (!text.empty() && (text.back() == '\\' || text.back() == '/')) text.pop_back();
  return text;
}

RepositoryOutcome RunWithSummary(std::string_view repository_name, std::string_view target_folder,
                                 std::string_view action, std::span<const std::string> replaced) {
  const bool install = action == kActionInstall;
  const int line = ReportRepositoryStarted(repository_name, install);
  const RepositoryOutcome outcome =
      ProcessRepository(repository_name, target_folder, action, replaced);
  ReportRepositoryEnded(line, repository_name, install, outcome);
  DownloadPrefix.clear();
  return outcome;
}

}  // namespace

RepositoryOutcome ProcessRepository(std::string_view repository_name,
                                    std::string_view target_folder, std::string_view action,
                                    std::span<const std::string> replaced) {
  RepositoryOutcome outcome;
  const std::string target = WithoutTrailingSeparators(target_folder);
  // Read once, never through a link: the lines acted on are the lines that
  // were checked.
  const std::optional<std::string> text = ReadLocalRepository(repository_name);
  if (!text) {
    outcome.Reason = "no local copy of " + std::string(repository_name);
    return outcome;
  }
  // Installing needs the publisher's signature; removing also accepts a copy
  // fetched before repository files were signed.
  const bool legacy_allowed = action == kActionUninstall;
  const std::string refusal = TrustRefusal(CheckRepositoryText(*text, CompiledPublisherKeys()),
                                           PublishedNameOf(repository_name), legacy_allowed);
  if (!refusal.empty()) {
    outcome.Reason =
        "the local copy of " + std::string(repository_name) + " is not used: " + refusal;
    return outcome;
  }
  if (target.empty() || !IsDirectory(target)) {
    outcome.Reason = "no target folder" + (target.empty() ? std::string() : " " + target);
    return outcome;
  }
  outcome.CopyUsed = true;
  std::vector<RepositoryLine> lines;
  for (const std::string& line : SplitLines(*text)) lines.push_back(SplitRepositoryLine(line));
  outcome.Modules = ProcessModuleLines(lines, action, target);

  const std::string head = target + "\n";
  std::set<std::string> own;
  std::set<std::string>& listed = AppliedPaths()[std::string(repository_name)];
  listed.clear();
  for (const RepositoryLine& line : lines) {
    const auto entry = ParseModuleLine(line);
    if (!entry) continue;
    own.insert(ModulePathKey(entry->RelativePath));
    if (action == kActionInstall) {
      listed.insert(head + ModulePathKey(DownloadPrefix + entry->RelativePath));
    }
  }
  std::vector<ModuleEntry> withdrawn = TakeWithdrawnModules(repository_name);
  for (const std::string& other : replaced) {
    for (ModuleEntry& entry : ModulesLeftBy(other, own)) withdrawn.push_back(std::move(entry));
  }
  if (!withdrawn.empty()) {
    std::vector<std::string> keep;
    for (const auto& [name, paths] : AppliedPaths()) {
      for (const std::string& applied : paths) {
        if (StartsWith(applied, head)) keep.push_back(applied.substr(head.size()));
      }
    }
    outcome.Modules.Add(RemoveWithdrawnModules(withdrawn, keep, target));
  }
  return outcome;
}

RepositoryOutcome ApplyRepository(std::string_view repository_name, std::string_view target_folder,
                                  std::span<const std::string> replaced) {
  return RunWithSummary(repository_name, target_folder, kActionInstall, replaced);
}

RepositoryOutcome UninstallRepository(std::string_view repository_name,
                                      std::string_view target_folder,
                                      std::span<const std::string> replaced) {
  return RunWithSummary(repository_name, target_folder, kActionUninstall, replaced);
}

void ForgetAppliedPaths() {
  AppliedPaths().clear();
}

}  // namespace kanade
