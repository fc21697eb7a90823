// The publisher's Ed25519 public keys: those compiled into the program (the
// only trust anchors; nothing at run time adds one), their files, and
// verifying. Secret keys and signing belong to kanade-repo alone.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kanade {

inline constexpr std::size_t kPublicKeySize = 32;
inline constexpr std::size_t kSignatureSize = 64;

using PublicKey = std::array<unsigned char, kPublicKeySize>;

/// Prepares libsodium once; false when it cannot be used.
bool StartCrypto();

/// The keys this build trusts, in the order of the key file it was built with.
const std::vector<PublicKey>& CompiledPublisherKeys();

/// The first 16 lower-case hexadecimal digits of the SHA-256 of the raw key.
std::string KeyIdOf(const PublicKey& key);

/// The lines of a key file that carry data, as views into `text`: not blank,
/// not a "#" comment, without surrounding spaces and tabs.
std::vector<std::string_view> KeyFileDataLines(std::string_view text);

/// A public-key file: one key a line as standard base64 of its 32 bytes;
/// lines starting with "#" and blank lines are skipped. Nothing (and a reason
/// in `problem`) when a line is not a key or there is no key at all.
std::optional<std::vector<PublicKey>> ParsePublicKeyFile(std::string_view text,
                                                         std::string* problem = nullptr);
bool VerifyMessage(std::string_view message, const unsigned char* signature, const PublicKey& key);

}  // namespace kanade
