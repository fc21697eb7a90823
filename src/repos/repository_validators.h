// The validators kept beside each verified local repository copy in repos/
// ("NAME.repo.validators"): the ETag and Last-Modified that the server sent
// with that copy, so that the next fetch can ask whether it changed. They
// name the URL they came from and the digest of the copy's bytes, and are
// sent only for a copy that still verifies and still has those bytes.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "net/curl_transfer.h"
#include "repos/publisher_keys.h"
#include "util/contained_folder.h"

namespace kanade {

struct KeptValidators {
  std::string Url;         // the repository URL they came from
  std::string CopyDigest;  // SHA-256 of the copy's bytes
  HttpValidators Validators;
};

/// The validators file beside the local copy `local_name`.
std::string ValidatorsFileOf(std::string_view local_name);

/// The file's text, and back; nothing for text that is not such a file.
std::string ValidatorsText(const KeptValidators& kept);
std::optional<KeptValidators> ParseValidators(std::string_view text);

/// The local copy that a fetch holds: its bytes when it verifies, and what
/// to send so that the server may answer 304.
struct HeldCopy {
  std::optional<std::string> Bytes;  // the copy, signed by a trusted key under its name
  std::string Digest;                // of Bytes
  HttpValidators Validators;         // empty unless kept for these bytes from this URL
};

/// Reads the local copy `local_name` of repository `name` in `folder` and
/// the validators kept beside it (neither through a link). `note` gets why
/// validators that lie there are not used, for the log.
HeldCopy HeldCopyOf(const ContainedFolder& folder, std::string_view local_name,
                    std::string_view name, std::string_view url, const std::vector<PublicKey>& keys,
                    std::string* note);

/// Replaces the validators beside the copy `local_name` (its bytes have
/// `digest`) with those of the response from `url`, or removes them when
/// the response had none; a link in their place is replaced itself.
bool KeepValidators(const ContainedFolder& folder, std::string_view local_name,
                    std::string_view url, std::string_view digest,
                    const HttpValidators& validators);

}  // namespace kanade
