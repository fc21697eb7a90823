#include "repos/repository_apply.h"

#include <string>

#include "repos/module_engine.h"
#include "repos/repository_fetch.h"
#include "repos/repository_format.h"
#include "state/patcher_state.h"
#include "ui/console.h"
#include "util/path.h"

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
  const std::string path = LocalRepositoryPath(repository_name);
  const std::string target = WithoutTrailingSeparators(target_folder);
  if (!IsFile(path) || !VerifyRepositoryFile(path)) return false;
  if (target.empty() || !IsDirectory(target)) return false;
  bool changed = false;
  // A line that fails never stops the others.
  ForEachRepositoryLine(path, [&](const RepositoryLine& line) {
    if (ProcessModuleLine(line, action, target)) changed = true;
    return true;
  });
  return changed;
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
