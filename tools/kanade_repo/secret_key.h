// The publisher's secret key: making it, its file, and signing with it. Only
// kanade-repo holds this code; the patcher verifies with public keys alone.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "repos/publisher_keys.h"

namespace kanade {

inline constexpr std::size_t kSecretKeySize = 64;  // seed, then the public key

/// Wipes its bytes whenever a copy goes away, so that no copy of the key
/// outlives its use in freed memory.
struct SecretKey {
  std::array<unsigned char, kSecretKeySize> Bytes{};
  PublicKey Public() const;

  SecretKey() = default;
  SecretKey(const SecretKey&) = default;
  SecretKey& operator=(const SecretKey&) = default;
  ~SecretKey();
};

/// Overwrites `text` with zero bytes (for texts that held a secret key).
void WipeText(std::string& text);

/// A secret-key file: comment lines, then the 64 bytes in base64. Nothing
/// when it is malformed or its halves do not belong together.
std::optional<SecretKey> ParseSecretKeyFile(std::string_view text, std::string* problem = nullptr);
/// The secret-key file's text; wipe it with WipeText once written.
std::string SecretKeyFileText(const SecretKey& key);
std::string PublicKeyFileText(const PublicKey& key);

/// A new key pair from the system's random source; nothing when it fails.
std::optional<SecretKey> GenerateSecretKey();

/// The detached signature of `message`; nothing when libsodium cannot start
/// or sign.
std::optional<std::array<unsigned char, kSignatureSize>> SignMessage(std::string_view message,
                                                                     const SecretKey& key);

/// The signature line for `message` (the text before the signature lines,
/// SIGN values 0) without its line end; empty when it cannot be signed.
std::string SignatureLineFor(std::string_view message, const SecretKey& key);

}  // namespace kanade
