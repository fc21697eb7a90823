#include "repos/repository_fetch.h"

#include <filesystem>
#include <optional>
#include <system_error>
#include <vector>

#include "repos/http_client.h"
#include "repos/publisher_keys.h"
#include "repos/repository_server.h"
#include "repos/repository_trust.h"
#include "repos/repository_validators.h"
#include "repos/sha256.h"
#include "state/patcher_state.h"
#include "ui/console.h"
#include "ui/log_file.h"
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

// The repos folder, opened without following a link below the program
// folder.
std::optional<ContainedFolder> OpenReposFolder() {
  std::string root = StripTrailingSeparators(ProgramFolder);
  // Before start-up has set ProgramFolder, the current folder is meant.
  if (root.empty()) root = ".";
  return ContainedFolder::Open(root, {"repos"}, false);
}

// A reason for the log, after the line it explains ("! " is never a console
// line).
void LogReason(std::string_view reason) {
  if (!reason.empty()) WriteLogLine("! " + std::string(reason));
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
  // Why kept validators went unused: said after the line, whatever its end.
  std::string note;
  const auto fail = [&](std::string_view word, std::string_view reason = {}) {
    SetConsoleLineText(message + std::string(word), index);
    SetConsoleLineColour(kRed, index);
    LogReason(reason);
    LogReason(note);
    return false;
  };
  const auto repos = OpenReposFolder();
  if (!repos) return fail(" 失敗", "repos/ is a link or cannot be opened");
  const std::string name = PublishedNameOf(local_name);
  const std::vector<PublicKey>& keys = CompiledPublisherKeys();

  // From an https server nothing but https is taken, redirects included: a
  // plain-http hop would let anyone on the way answer instead.
  DownloadLimits limits;
  limits.MaxBytes = kMaxRepositoryBytes;
  limits.HttpsOnly = StartsWith(ToLowerAscii(url.substr(0, 8)), "https://");
  // Asked whether it changed only for a copy that verifies, with the
  // validators that came with those very bytes.
  const HeldCopy held = HeldCopyOf(*repos, local_name, name, url, keys, &note);

  // The previous copy stays usable (for an uninstall while the server is
  // down) until a new one has arrived and been accepted.
  const std::string temporary = TemporaryPathBeside(path);
  TransferResponse response;
  if (!DownloadToFile(url, temporary, limits, held.Validators, &response)) {
    RemoveFile(temporary);
    return fail(" 失敗", response.HeaderTooLarge ? "a response header was larger than 100 KiB"
                                                 : std::string_view());
  }
  std::optional<std::string> fetched = ReadFileBytes(temporary);
  const std::optional<std::string> local = ReadFileBytes(path);
  if (response.Status == 304) {
    // Not modified: the copy asked about is current, and is taken exactly as
    // a download of its bytes would be. Anything else is no answer.
    RemoveFile(temporary);
    if (held.Validators.Empty()) {
      return fail(" 失敗", "the server answered 304 Not Modified to a request without validators");
    }
    if (response.ExcessBody || !fetched || !fetched->empty()) {
      return fail(" 失敗", "the server's 304 Not Modified came with a body, which was not used");
    }
    if (!local || Sha256OfText(*local) != held.Digest) {
      return fail(" 失敗",
                  "the server answered 304 Not Modified, but the local copy is gone or has "
                  "changed since it was asked about");
    }
    fetched = local;
  }
  if (!fetched || !MayReplaceLocalCopy(*fetched, name, local, keys)) {
    RemoveFile(temporary);
    return fail(" 不一致");
  }
  if (fetched == local) {
    RemoveFile(temporary);
  } else if (!ReplaceFileWith(temporary, path)) {
    RemoveFile(temporary);
    return fail(" 失敗");
  }
  // The validators go with the copy now in place; a 304 leaves them as they were.
  if (response.Status != 304) {
    if (!response.Refused.empty()) {
      note = response.Refused + ": the next fetch asks for the whole file";
    }
    KeepValidators(*repos, local_name, url, Sha256OfText(*fetched), response.Validators);
  }
  SetConsoleLineText(message + " 成功", index);
  LogReason(note);
  return true;
}

}  // namespace kanade
