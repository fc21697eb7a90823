#include "repos/repository_fetch.h"

#include <filesystem>
#include <optional>
#include <system_error>

#include "repos/http_client.h"
#include "repos/publisher_keys.h"
#include "repos/repository_server.h"
#include "repos/repository_trust.h"
#include "repos/repository_validators.h"
#include "repos/run_report.h"
#include "repos/sha256.h"
#include "repos/withdrawn_modules.h"
#include "state/patcher_state.h"
#include "util/contained_folder.h"
#include "util/path.h"
#include "util/system_error.h"
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
// folder: where the validators of the copies are read and written.
std::optional<ContainedFolder> OpenReposFolder() {
  std::string root = StripTrailingSeparators(ProgramFolder);
  // Before start-up has set ProgramFolder, the current folder is meant.
  if (root.empty()) root = ".";
  return ContainedFolder::Open(root, {"repos"}, false);
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

FetchOutcome FetchRepository(std::string_view url, std::string_view local_name) {
  const std::string folder = ReposFolder();
  FetchOutcome outcome;
  if (!IsDirectory(folder)) {
    std::error_code ec;
    if (!std::filesystem::create_directory(FsPath(folder), ec) || ec) {
      outcome.Silent = true;
      outcome.Reason = "cannot create " + folder + ": " + ec.message();
      return outcome;
    }
  }
  RemoveLeftoversOnce(folder);
  const std::string path = LocalRepositoryPath(local_name);
  const std::string name = PublishedNameOf(local_name);
  const int line = ReportFetchStarted(url);
  std::optional<std::string> local = ReadFileBytes(path);
  const auto end = [&](FetchResult result, std::string reason) {
    outcome.Result = result;
    outcome.Reason = std::move(reason);
    outcome.VerifiedCopy =
        result == FetchResult::kFetched ||
        (local && IsTrustedAs(CheckRepositoryText(*local, CompiledPublisherKeys()), name, false));
    ReportFetchEnded(line, url, outcome);
    return outcome;
  };

  // From an https server nothing but https is taken, redirects included: a
  // plain-http hop would let anyone on the way answer instead.
  DownloadLimits limits;
  limits.MaxBytes = kMaxRepositoryBytes;
  limits.HttpsOnly = StartsWith(ToLowerAscii(url.substr(0, 8)), "https://");
  // Asked whether it changed only for a copy that verifies, with the
  // validators that came with those very bytes.
  const auto repos = OpenReposFolder();
  const HeldCopy held =
      repos ? HeldCopyOf(*repos, local_name, name, url, CompiledPublisherKeys(), &outcome.Note)
            : HeldCopy{};

  // The previous copy stays usable (for an uninstall while the server is
  // down) until a new one has arrived and been accepted.
  const std::string temporary = TemporaryPathBeside(path);
  DownloadReport report;
  if (temporary.empty()) return end(FetchResult::kFailed, "no random name for a temporary file");
  if (!DownloadToFile(url, temporary, limits, &report, held.Validators)) {
    RemoveFile(temporary);
    return end(FetchResult::kFailed, report.Reason);
  }
  std::optional<std::string> fetched = ReadFileBytes(temporary);
  if (!fetched) {
    RemoveFile(temporary);
    return end(FetchResult::kFailed, "cannot read " + temporary);
  }
  if (report.HttpStatus == 304) {
    // Not modified: the copy asked about is current, and is taken exactly as
    // a download of its bytes would be. Anything else is no answer.
    RemoveFile(temporary);
    if (held.Validators.Empty()) {
      return end(FetchResult::kFailed,
                 "the server answered 304 Not Modified to a request without validators");
    }
    if (report.Response.ExcessBody || !fetched->empty()) {
      return end(FetchResult::kFailed,
                 "the server's 304 Not Modified came with a body, which was not used");
    }
    const std::optional<std::string> now = ReadFileBytes(path);
    if (!now || Sha256OfText(*now) != held.Digest) {
      local = now;
      return end(FetchResult::kFailed,
                 "the server answered 304 Not Modified, but the local copy is gone or has "
                 "changed since it was asked about");
    }
    local = now;
    fetched = now;
  } else if (report.HttpStatus != 0 && (report.HttpStatus < 200 || report.HttpStatus > 299)) {
    // An error page is no repository, whatever it holds.
    RemoveFile(temporary);
    return end(FetchResult::kRefused, "HTTP " + std::to_string(report.HttpStatus));
  }
  if (const auto refusal = ReplacementRefusal(*fetched, name, local, CompiledPublisherKeys())) {
    RemoveFile(temporary);
    return end(FetchResult::kRefused, *refusal);
  }
  if (fetched == local) {
    RemoveFile(temporary);
  } else if (!ReplaceFileWith(temporary, path)) {
    const std::string why = "cannot replace " + path + ": " + LastSystemError();
    RemoveFile(temporary);
    return end(FetchResult::kFailed, why);
  } else if (local) {
    NoteWithdrawnModules(local_name, *local, *fetched);
  }
  // The validators go with the copy now in place; a 304 leaves them as they were.
  if (repos && report.HttpStatus != 304) {
    if (!report.Response.Refused.empty()) {
      outcome.Note = report.Response.Refused + ": the next fetch asks for the whole file";
    }
    KeepValidators(*repos, local_name, url, Sha256OfText(*fetched), report.Response.Validators);
  }
  return end(FetchResult::kFetched, "");
}

bool HasVerifiedLocalCopy(std::string_view local_name) {
  const std::optional<std::string> local = ReadFileBytes(LocalRepositoryPath(local_name));
  return local && IsTrustedAs(CheckRepositoryText(*local, CompiledPublisherKeys()),
                              PublishedNameOf(local_name), false);
}

}  // namespace kanade
