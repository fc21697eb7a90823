// The publisher's Ed25519 keys: the public keys compiled into the program
// (the only trust anchors; nothing at run time adds one) and the key files
// that kanade-repo reads and writes.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kanade {

inline constexpr std::size_t kPublicKeySize = 32;
inline constexpr std::size_t kSecretKeySize = 64;  // seed, then the public key
inline constexpr std::size_t kSignatureSize = 64;

using PublicKey = std::array<unsigned char, kPublicKeySize>;

struct SecretKey {
  std::array<unsigned char, kSecretKeySize> Bytes{};
  PublicKey Public() const;
};

/// Prepares libsodium once; false when it cannot be used.
bool StartCrypto();

/// The keys this build trusts, in the order of the key file it was built with.
const std::vector<PublicKey>& CompiledPublisherKeys();

/// The first 16 lower-case hexadecimal digits of the SHA-256 of the raw key.
std::string KeyIdOf(const PublicKey& key);

/// A public-key file: one key a line as standard base64 of its 32 bytes;
/// lines starting with "#" and blank lines are skipped. Nothing (and a reason
/// in `problem`) when a line is not a key or there is no key at all.
std::optional<std::vector<PublicKey>> ParsePublicKeyFile(std::string_view text,
                                                         std::string* problem = nullptr);
std::string PublicKeyFileText(const PublicKey& key);

/// A secret-key file: comment lines, then the 64 bytes in base64. Nothing
/// when it is malformed or its halves do not belong together.
std::optional<SecretKey> ParseSecretKeyFile(std::string_view text, std::string* problem = nullptr);
std::string SecretKeyFileText(const SecretKey& key);

/// A new key pair from the system's random source; nothing when it fails.
std::optional<SecretKey> GenerateSecretKey();

/// The detached signature of `message`; nothing when libsodium cannot start
/// or sign.
std::optional<std::array<unsigned char, kSignatureSize>> SignMessage(std::string_view message,
                                                                     const SecretKey& key);
bool VerifyMessage(std::string_view message, const unsigned char* signature, const PublicKey& key);

}  // namespace kanade
