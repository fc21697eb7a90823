#include "repos/repository_fetch.h"

#include <filesystem>
#include <map>
#include <optional>
#include <system_error>

#include "net/http_client.h"
#include "repos/engine_sink.h"
#include "repos/program_file.h"
#include "repos/publisher_keys.h"
#include "repos/repository_server.h"
#include "repos/repository_trust.h"
#include "repos/repository_validators.h"
#include "repos/sha256.h"
#include "state/patcher_state.h"
#include "util/contained_folder.h"
#include "util/path.h"
#include "util/reason.h"
#include "util/text.h"

namespace kanade {

namespace {

constexpr std::string_view kReposName = "repos";

// What each fetch of this run verified, by local name: the lines applied
// are the lines checked, never a file read again afterwards. Nothing for a
// fetch that left no verified copy.
std::map<std::string, std::optional<std::string>, std::less<>>& VerifiedCopies() {
  static std::map<std::string, std::optional<std::string>, std::less<>> copies;
  return copies;
}

// The copy each repository had in repos/ before this run's first fetch of
// it replaced it (nothing when there was none): the evidence that an earlier
// build or the original program installed from it.
std::map<std::string, std::optional<std::string>, std::less<>>& EarlierCopies() {
  static std::map<std::string, std::optional<std::string>, std::less<>> copies;
  return copies;
}

// Leftovers of a run that was killed while it fetched go once per process.
void RemoveLeftoversOnce(const ContainedFolder& folder) {
  static std::string cleaned;
  if (cleaned == folder.Path()) return;
  cleaned = folder.Path();
  folder.RemoveLeftoverTemporaries();
}

// From an https server nothing but https is taken, redirects included: a
// plain-http hop would let anyone on the way answer instead.
DownloadLimits RepositoryLimits(std::string_view url) {
  DownloadLimits limits;
  limits.MaxBytes = kMaxRepositoryBytes;
  limits.HttpsOnly = StartsWith(ToLowerAscii(url.substr(0, 8)), "https://");
  return limits;
}

}  // namespace

std::optional<ContainedFolder> OpenReposFolder(bool create, bool* crossed_link) {
  std::string root = StripTrailingSeparators(ProgramFolder);
  // Before start-up has set ProgramFolder, the current folder is meant.
  if (root.empty()) root = ".";
  return ContainedFolder::Open(root, {std::string(kReposName)}, create, crossed_link);
}

void PrefetchRepository(std::string_view url, std::string_view local_name) {
  // The very request the fetch will make, validators included.
  const auto folder = OpenReposFolder(false);
  std::string unused;
  const HttpValidators validators =
      folder ? HeldCopyOf(*folder, local_name, PublishedNameOf(local_name), url,
                          CompiledPublisherKeys(), &unused)
                   .Validators
             : HttpValidators{};
  PrefetchDownload(url, RepositoryLimits(url), validators);
}

std::string ReposFolder() {
  std::string folder = ProgramFolder;
  while (!folder.empty() && (folder.back() == '\\' || folder.back() == '/')) folder.pop_back();
  // Before start-up has set ProgramFolder, the current folder is meant.
  if (folder.empty() && ProgramFolder.empty()) return std::string(kReposName);
  return folder + std::string(PathSeparator) + std::string(kReposName);
}

std::string LocalRepositoryPath(std::string_view local_name) {
  return ReposFolder() + std::string(PathSeparator) + std::string(local_name);
}

std::optional<std::string> ReadLocalRepository(std::string_view local_name) {
  const auto folder = OpenReposFolder(false);
  std::string foreign;
  return folder ? ReadProgramFile(*folder, local_name, kMaxRepositoryBytes, &foreign)
                : std::nullopt;
}

FetchOutcome FetchRepository(std::string_view url, std::string_view local_name, EngineSink& sink) {
  FetchOutcome outcome;
  bool crossed_link = false;
  const auto folder = OpenReposFolder(true, &crossed_link);
  if (!folder && !crossed_link) {
    outcome.Silent = true;
    outcome.Reason = SystemReason("cannot create " + ReposFolder());
    sink.FetchEnded(url, outcome);
    return outcome;
  }
  const std::string path = LocalRepositoryPath(local_name);
  const std::string name = PublishedNameOf(local_name);
  sink.FetchStarted(url);
  // No copy this program kept is larger than a fetch may be.
  std::string foreign;
  std::optional<std::string> local =
      folder ? ReadProgramFile(*folder, local_name, kMaxRepositoryBytes, &foreign) : std::nullopt;
  EarlierCopies().try_emplace(std::string(local_name), local);
  MemorySink fetched;
  const auto end = [&](FetchResult result, Reason reason) {
    outcome.Result = result;
    outcome.Reason = std::move(reason);
    std::optional<std::string>& verified = VerifiedCopies()[std::string(local_name)];
    verified.reset();
    if (result == FetchResult::kFetched) {
      verified = std::move(fetched.bytes);
    } else if (local &&
               IsTrustedAs(CheckRepositoryText(*local, CompiledPublisherKeys()), name, false)) {
      verified = std::move(local);
    }
    outcome.VerifiedCopy = verified.has_value();
    sink.FetchEnded(url, outcome);
    return outcome;
  };
  // Someone else may write the program folder: nothing is written through a
  // link there, nor over a link or special file in repos/.
  if (!folder) return end(FetchResult::kFailed, ReposFolder() + " is a link; not written through");
  RemoveLeftoversOnce(*folder);
  const EntryKind kind = folder->KindOf(local_name);
  if (kind != EntryKind::kMissing && kind != EntryKind::kFile) {
    return end(FetchResult::kFailed, path + " is a link or no plain file; not replaced");
  }
  // Another user's copy is neither trusted nor replaced.
  if (!foreign.empty()) return end(FetchResult::kFailed, foreign + "; not used");

  const DownloadLimits limits = RepositoryLimits(url);
  // Asked whether it changed only for a copy that verifies, with the
  // validators that came with those very bytes.
  const HeldCopy held =
      HeldCopyOf(*folder, local_name, name, url, CompiledPublisherKeys(), &outcome.Note);

  // The previous copy stays usable (for an uninstall while the server is
  // down) until a new one has arrived and been accepted.
  DownloadReport report;
  if (!DownloadToSink(url, limits, fetched, &report, held.Validators)) {
    return end(FetchResult::kFailed, report.Reason);
  }
  if (report.HttpStatus == 304) {
    // Not modified: the copy asked about is current, and is taken exactly as
    // a download of its bytes would be. Anything else is no answer.
    if (held.Validators.Empty()) {
      return end(FetchResult::kFailed,
                 "the server answered 304 Not Modified to a request without validators");
    }
    if (report.Response.ExcessBody || !fetched.bytes.empty()) {
      return end(FetchResult::kFailed,
                 "the server's 304 Not Modified came with a body, which was not used");
    }
    local = ReadProgramFile(*folder, local_name, kMaxRepositoryBytes, &foreign);
    if (!local || Sha256OfText(*local) != held.Digest) {
      return end(FetchResult::kFailed,
                 "the server answered 304 Not Modified, but the local copy is gone or has "
                 "changed since it was asked about");
    }
    fetched.bytes = *local;
  } else if (report.HttpStatus != 0 && (report.HttpStatus < 200 || report.HttpStatus > 299)) {
    // An error page is no repository, whatever it holds.
    return end(FetchResult::kRefused, report.Reason.Empty()
                                          ? Reason("HTTP " + std::to_string(report.HttpStatus))
                                          : report.Reason);
  }
  if (const auto refusal =
          ReplacementRefusal(fetched.bytes, name, local, CompiledPublisherKeys())) {
    return end(FetchResult::kRefused, *refusal);
  }
  if (fetched.bytes != local) {
    auto file = folder->CreateTemporary(local_name);
    if (!file || !file->Write(fetched.bytes.data(), fetched.bytes.size()) || !file->Finish(false) ||
        !folder->MoveIntoPlace(*file, local_name)) {
      return end(FetchResult::kFailed, SystemReason("cannot replace " + path));
    }
  }
  // The validators go with the copy now in place; a 304 leaves them as they were.
  if (report.HttpStatus != 304) {
    if (!report.Response.Refused.empty()) {
      outcome.Note = report.Response.Refused + ": the next fetch asks for the whole file";
    }
    KeepValidators(*folder, local_name, url, Sha256OfText(fetched.bytes),
                   report.Response.Validators);
  }
  return end(FetchResult::kFetched, "");
}

std::optional<std::string> VerifiedCopyOf(std::string_view local_name) {
  if (const auto it = VerifiedCopies().find(local_name); it != VerifiedCopies().end()) {
    return it->second;
  }
  // Not fetched in this process: the copy is read once, and what is
  // checked is what is used.
  std::optional<std::string> local = ReadLocalRepository(local_name);
  if (!local || !IsTrustedAs(CheckRepositoryText(*local, CompiledPublisherKeys()),
                             PublishedNameOf(local_name), false)) {
    return std::nullopt;
  }
  return local;
}

std::optional<std::string> EarlierCopyOf(std::string_view local_name) {
  if (const auto it = EarlierCopies().find(local_name); it != EarlierCopies().end()) {
    return it->second;
  }
  return ReadLocalRepository(local_name);
}

void ForgetVerifiedCopies() {
  VerifiedCopies().clear();
  EarlierCopies().clear();
}

bool HasVerifiedLocalCopy(std::string_view local_name) {
  const std::optional<std::string> local = ReadLocalRepository(local_name);
  return local && IsTrustedAs(CheckRepositoryText(*local, CompiledPublisherKeys()),
                              PublishedNameOf(local_name), false);
}

}  // namespace kanade
