#include "repos/repository_apply.h"

#include <string>

#include "repos/module_engine.h"
#include "repos/publisher_keys.h"
#include "repos/repository_fetch.h"
#include "repos/repository_format.h"
#include "repos/repository_server.h"
#include "repos/repository_trust.h"
#include "state/patcher_state.h"
#include "ui/console.h"
#include "util/path.h"
#include "util/text.h"

namespace kanade {

namespace {

std::string WithoutTrailingSeparators(std::string_view folder) {
  std::string text(folder);
  while (!text.empty() && (text.back() == '\\' || text.back() == '/')) text.pop_back();
  return text;
}

bool RunWithSummary(std::string_view repository_name, std::string_view target_folder,
                    std::string_view action, std::string_view head, std::string_view busy,
                    std::string_view done) {
  const std::string name(repository_name);
  const int index = AddConsoleLine(std::string(head) + name + std::string(busy), kWhite);
  const bool changed = ProcessRepository(repository_name, target_folder, action);
  SetConsoleLineText(std::string(head) + name + std::string(changed ? done : " は更新なし"), index);
  DownloadPrefix.clear();
  return changed;
}

}  // namespace

bool ProcessRepository(std::string_view repository_name, std::string_view target_folder,
                       std::string_view action) {
  const std::string target = WithoutTrailingSeparators(target_folder);
  // Read once: the lines acted on are the lines that were checked.
  const std::optional<std::string> text = ReadLocalRepository(repository_name);
  if (!text) return false;
  // Installing needs the publisher's signature; removing also accepts a copy
  // fetched before repository files were signed.
  const bool legacy_allowed = action == kActionUninstall;
  if (!IsTrustedAs(CheckRepositoryText(*text, CompiledPublisherKeys()),
                   PublishedNameOf(repository_name), legacy_allowed)) {
    return false;
  }
  if (target.empty() || !IsDirectory(target)) return false;
  std::vector<RepositoryLine> lines;
  for (const std::string& line : SplitLines(*text)) lines.push_back(SplitRepositoryLine(line));
  return ProcessModuleLines(lines, action, target);
}

bool ApplyRepository(std::string_view repository_name, std::string_view target_folder) {
  return RunWithSummary(repository_name, target_folder, kActionInstall,
                        "レポジトリ適用: ", " を適用中...", " を適用済み");
}

bool UninstallRepository(std::string_view repository_name, std::string_view target_folder) {
  return RunWithSummary(repository_name, target_folder, kActionUninstall,
                        "レポジトリ解除: ", " をアンインストール中...", " をアンインストール済み");
}

}  // namespace kanade
