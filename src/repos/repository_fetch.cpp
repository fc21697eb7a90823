#include "repos/repository_fetch.h"

#include <filesystem>
#include <system_error>

#include "repos/http_client.h"
#include "repos/publisher_keys.h"
#include "repos/repository_server.h"
#include "repos/repository_trust.h"
#include "state/patcher_state.h"
#include "ui/console.h"
#include "util/contained_folder.h"
#include "util/path.h"
#include "util/text.h"

namespace kanade {

namespace {

// Leftovers of a run that was killed while it fetched go once per process.
void RemoveLeftoversOnce(const std::string& folder) {
  static std::string cleaned;
  if (cleaned == folder) return;
  cleaned = folder;
  RemoveLeftoverTemporariesIn(folder);
}

}  // namespace

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
  RemoveLeftoversOnce(folder);
  const std::string path = LocalRepositoryPath(local_name);
  const std::string message = "レポジトリを取得中: " + std::string(url);
  const int index = AddConsoleLine(message, kWhite);
  const auto fail = [&](std::string_view word) {
    SetConsoleLineText(message + std::string(word), index);
    SetConsoleLineColour(kRed, index);
    return false;
  };

  // From an https server nothing but https is taken, redirects included: a
  // plain-http hop would let anyone on the way answer instead.
  DownloadLimits limits;
  limits.MaxBytes = kMaxRepositoryBytes;
  limits.HttpsOnly = StartsWith(ToLowerAscii(url.substr(0, 8)), "https://");

  // The previous copy stays usable (for an uninstall while the server is
  // down) until a new one has arrived and been accepted.
  const std::string temporary = TemporaryPathBeside(path);
  if (!DownloadToFile(url, temporary, limits)) {
    RemoveFile(temporary);
    return fail(" 失敗");
  }
  const std::optional<std::string> fetched = ReadFileBytes(temporary);
  const std::optional<std::string> local = ReadFileBytes(path);
  if (!fetched ||
      !MayReplaceLocalCopy(*fetched, PublishedNameOf(local_name), local, CompiledPublisherKeys())) {
    RemoveFile(temporary);
    return fail(" 不一致");
  }
  if (fetched == local) {
    RemoveFile(temporary);
  } else if (!ReplaceFileWith(temporary, path)) {
    RemoveFile(temporary);
    return fail(" 失敗");
  }
  SetConsoleLineText(message + " 成功", index);
  return true;
}

}  // namespace kanade
