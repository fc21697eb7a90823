// Whether a repository file comes from the publisher. Two layers sign every
// file: the SIGN line (an unkeyed digest that old clients check) and one or
// more trailing ";ed25519 KEYID SIGNATURE" lines, comments to old readers,
// that sign everything above them with a publisher key compiled into the
// program. NAME and SERIAL lines inside the signed text tie a file to its
// place on the server and order its releases.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "repos/publisher_keys.h"

namespace kanade {

inline constexpr std::string_view kSignatureLinePrefix = ";ed25519 ";
inline constexpr std::string_view kNameKey = "NAME";
inline constexpr std::string_view kSerialKey = "SERIAL";

struct SignatureLineEntry {
  std::string KeyId;      // 16 lower-case hexadecimal digits
  std::string Signature;  // the 64 raw bytes
};

/// The well-formed signature lines at the end of a text and where the first
/// of them begins (the text's size when there are none).
struct SignatureBlock {
  std::size_t Start = 0;
  std::vector<SignatureLineEntry> Entries;
};
SignatureBlock FindSignatureBlock(std::string_view text);

enum class RepositoryTrust {
  kRefused,  // the SIGN check fails, no signature holds, or NAME/SERIAL are missing or malformed
  kLegacy,   // the SIGN check holds and there are no signature lines (files of old publishers)
  kSigned,   // a trusted key signs the text, which names itself and its serial
};

struct RepositoryCheck {
  RepositoryTrust Trust = RepositoryTrust::kRefused;
  std::string Name;         // NAME, for signed files
  std::int64_t Serial = 0;  // SERIAL, for signed files; legacy files count as 0
  std::string Reason;       // why it is refused, or why it is only legacy
};

/// A SERIAL value: decimal digits only, from 1 to 2^63 - 1.
std::optional<std::int64_t> ParseSerial(std::string_view text);

/// Checks both layers of `text` against `keys`.
RepositoryCheck CheckRepositoryText(std::string_view text, const std::vector<PublicKey>& keys);

/// True when `check` is a signed file of the repository `name`, or, where
/// `legacy_allowed`, a legacy file.
bool IsTrustedAs(const RepositoryCheck& check, std::string_view name, bool legacy_allowed);

/// Whether the downloaded `fetched` may replace `local` (the current local
/// copy's bytes, if any) as the repository `name`: signed by a trusted key
/// under that name, and no older than a signed local copy. An equal serial
/// is accepted only for the same bytes.
bool MayReplaceLocalCopy(std::string_view fetched, std::string_view name,
                         const std::optional<std::string>& local,
                         const std::vector<PublicKey>& keys);

/// Why MayReplaceLocalCopy refuses ("SERIAL 99 is below the kept 100");
/// nothing when it accepts.
std::optional<std::string> ReplacementRefusal(std::string_view fetched, std::string_view name,
                                              const std::optional<std::string>& local,
                                              const std::vector<PublicKey>& keys);

/// Why `check` is not a file that IsTrustedAs accepts; empty when it is.
std::string TrustRefusal(const RepositoryCheck& check, std::string_view name, bool legacy_allowed);

}  // namespace kanade
