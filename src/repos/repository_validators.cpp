#include "repos/repository_validators.h"

#include <cstdio>

#include "net/http_client.h"
#include "repos/program_file.h"
#include "repos/repository_trust.h"
#include "repos/sha256.h"
#include "util/path.h"
#include "util/text.h"

namespace kanade {

namespace {

constexpr std::string_view kUrlKey = "URL=";
constexpr std::string_view kDigestKey = "SHA256=";
constexpr std::string_view kETagKey = "ETag=";
constexpr std::string_view kLastModifiedKey = "Last-Modified=";
constexpr std::size_t kMaxUrlBytes = 4096;
// Far more than four such lines ever take.
constexpr std::size_t kMaxValidatorsFileBytes = 8192;

}  // namespace

std::string ValidatorsFileOf(std::string_view local_name) {
  return std::string(local_name) + ".validators";
}

std::string ValidatorsText(const KeptValidators& kept) {
  return std::string(kUrlKey) + kept.Url + "\n" + std::string(kDigestKey) + kept.CopyDigest + "\n" +
         std::string(kETagKey) + kept.Validators.ETag + "\n" + std::string(kLastModifiedKey) +
         kept.Validators.LastModified + "\n";
}

std::optional<KeptValidators> ParseValidators(std::string_view text) {
  const std::vector<std::string> lines = SplitLines(text);
  // Exactly the four lines, in their order, each value plain text.
  if (lines.size() != 4 || !StartsWith(lines[0], kUrlKey) || !StartsWith(lines[1], kDigestKey) ||
      !StartsWith(lines[2], kETagKey) || !StartsWith(lines[3], kLastModifiedKey)) {
    return std::nullopt;
  }
  KeptValidators kept;
  kept.Url = lines[0].substr(kUrlKey.size());
  kept.CopyDigest = lines[1].substr(kDigestKey.size());
  kept.Validators.ETag = lines[2].substr(kETagKey.size());
  kept.Validators.LastModified = lines[3].substr(kLastModifiedKey.size());
  if (kept.Url.empty() || !IsSendableValidator(kept.Url, kMaxUrlBytes) ||
      !IsDigestText(kept.CopyDigest) || kept.Validators.Empty() ||
      !IsSendableValidator(kept.Validators.ETag, kMaxETagBytes) ||
      !IsSendableValidator(kept.Validators.LastModified, kMaxLastModifiedBytes)) {
    return std::nullopt;
  }
  return kept;
}

HeldCopy HeldCopyOf(const ContainedFolder& folder, std::string_view local_name,
                    std::string_view name, std::string_view url, const std::vector<PublicKey>& keys,
                    std::string* note) {
  HeldCopy held;
  std::string foreign;
  auto bytes = ReadProgramFile(folder, local_name, kMaxRepositoryBytes, &foreign);
  if (bytes && IsTrustedAs(CheckRepositoryText(*bytes, keys), name, false)) {
    held.Digest = Sha256OfText(*bytes);
    held.Bytes = std::move(bytes);
  }

  const std::string file = ValidatorsFileOf(local_name);
  const EntryKind kind = folder.KindOf(file);
  if (kind == EntryKind::kMissing) return held;
  const auto refuse = [&](std::string_view why) {
    *note = file + " not used (" + std::string(why) + "): asked for the whole file";
    return held;
  };
  if (kind != EntryKind::kFile) return refuse("a link or no regular file");
  bool too_large = false;
  const auto text = ReadProgramFile(folder, file, kMaxValidatorsFileBytes, &foreign, &too_large);
  if (!foreign.empty()) return refuse(foreign);
  if (!text) return refuse(too_large ? "too large" : "cannot be read");
  const auto kept = ParseValidators(*text);
  if (!kept) return refuse("not a validators file");
  if (kept->Url != url) return refuse("kept for " + kept->Url);
  if (!held.Bytes) return refuse("no verified local copy beside them");
  if (kept->CopyDigest != held.Digest) return refuse("kept for other bytes than the local copy");
  held.Validators = kept->Validators;
  return held;
}

bool KeepValidators(const ContainedFolder& folder, std::string_view local_name,
                    std::string_view url, std::string_view digest,
                    const HttpValidators& validators) {
  const std::string file = ValidatorsFileOf(local_name);
  if (validators.Empty()) {
    return folder.KindOf(file) == EntryKind::kMissing || folder.Remove(file);
  }
  const std::string text = ValidatorsText({std::string(url), std::string(digest), validators});
  auto temporary = folder.CreateTemporary(file);
  return temporary && temporary->Write(text.data(), text.size()) && temporary->Finish(false) &&
         folder.MoveIntoPlace(*temporary, file);
}

}  // namespace kanade
