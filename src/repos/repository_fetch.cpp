#include "repos/repository_fetch.h"

#include <filesystem>
#include <system_error>

#include "repos/http_client.h"
#include "repos/repository_format.h"
#include "state/patcher_state.h"
#include "ui/console.h"
#include "util/path.h"

namespace kanade {

std::string ReposFolder() {
  std::string folder = ProgramFolder;
  while (!folder.empty() && (folder.back() == '\\' || folder.back() == '/')) folder.pop_back();
  // Before start-up has set ProgramFolder, the current folder is meant.
  if (folder.empty() && ProgramFolder.empty()) return "repos";
  return folder + std::string(PathSeparator) + "repos";
}

std::string LocalRepositoryPath(std::string_view local_name) {
  return ReposFolder() + std::string(PathSeparator) + std::string(local_name);
}

bool FetchRepository(std::string_view url, std::string_view local_name) {
  const std::string folder = ReposFolder();
  if (!IsDirectory(folder)) {
    std::error_code ec;
    if (!std::filesystem::create_directory(FsPath(folder), ec) || ec) return false;
  }
  const std::string path = LocalRepositoryPath(local_name);
  const std::string message = "レポジトリを取得中: " + std::string(url);
  const int index = AddConsoleLine(message, kWhite);

  // The previous copy stays usable (for an uninstall while the server is
  // down) until a new one has arrived and verified.
  const std::string temporary = TemporaryPathBeside(path);
  if (!DownloadToFile(url, temporary)) {
    RemoveFile(temporary);
    SetConsoleLineText(message + " 失敗", index);
    SetConsoleLineColour(kRed, index);
    return false;
  }
  if (!VerifyRepositoryFile(temporary)) {
    RemoveFile(temporary);
    SetConsoleLineText(message + " 不一致", index);
    SetConsoleLineColour(kRed, index);
    return false;
  }
  if (!ReplaceFileWith(temporary, path)) {
    RemoveFile(temporary);
    SetConsoleLineText(message + " 失敗", index);
    SetConsoleLineColour(kRed, index);
    return false;
  }
  SetConsoleLineText(message + " 成功", index);
  return true;
}

}  // namespace kanade
