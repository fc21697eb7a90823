#include "repos/publisher_keys.h"

#include <sodium.h>

#include <mutex>

#include "repos/sha256.h"
#include "util/base64.h"
#include "util/text.h"

namespace kanade {

// Written by CMake from the key file named by KANADE_PUBLISHER_KEYS.
extern const char* const kCompiledPublisherKeyTexts[];
extern const std::size_t kCompiledPublisherKeyCount;

namespace {

std::string_view AsText(const unsigned char* bytes, std::size_t size) {
  return {reinterpret_cast<const char*>(bytes), size};
}

// The lines of a key file that carry data: not blank, not a "#" comment.
std::vector<std::string> DataLines(std::string_view text) {
  std::vector<std::string> lines;
  for (std::string line : SplitLines(text)) {
    line = TrimSpaces(ReplaceAll(line, "\t", " "));
    if (!line.empty() && line[0] != '#') lines.push_back(line);
  }
  return lines;
}

template <typename T>
std::optional<T> Fail(std::string* problem, std::string why) {
  if (problem != nullptr) *problem = std::move(why);
  return std::nullopt;
}

}  // namespace

bool StartCrypto() {
  static const bool ready = sodium_init() >= 0;
  return ready;
}

PublicKey SecretKey::Public() const {
  PublicKey key{};
  crypto_sign_ed25519_sk_to_pk(key.data(), Bytes.data());
  return key;
}

const std::vector<PublicKey>& CompiledPublisherKeys() {
  static const std::vector<PublicKey> keys = [] {
    std::vector<PublicKey> decoded;
    for (std::size_t i = 0; i < kCompiledPublisherKeyCount; ++i) {
      const auto bytes = DecodeBase64(kCompiledPublisherKeyTexts[i]);
      if (!bytes || bytes->size() != kPublicKeySize) continue;  // CMake checked the form
      PublicKey key{};
      std::copy(bytes->begin(), bytes->end(), key.begin());
      decoded.push_back(key);
    }
    return decoded;
  }();
  return keys;
}

std::string KeyIdOf(const PublicKey& key) {
  return Sha256OfBytes(key.data(), key.size()).substr(0, 16);
}

std::optional<std::vector<PublicKey>> ParsePublicKeyFile(std::string_view text,
                                                         std::string* problem) {
  std::vector<PublicKey> keys;
  for (const std::string& line : DataLines(text)) {
    const auto bytes = DecodeBase64(line);
    if (!bytes || bytes->size() != kPublicKeySize) {
      return Fail<std::vector<PublicKey>>(
          problem, "\"" + ShortenMiddle(line, 20, 10) + "\" is not a base64 Ed25519 public key");
    }
    PublicKey key{};
    std::copy(bytes->begin(), bytes->end(), key.begin());
    keys.push_back(key);
  }
  if (keys.empty()) return Fail<std::vector<PublicKey>>(problem, "holds no public key");
  return keys;
}

std::string PublicKeyFileText(const PublicKey& key) {
  return "# Kanade Patcher publisher public key " + KeyIdOf(key) + "\n" +
         EncodeBase64(AsText(key.data(), key.size())) + "\n";
}

std::optional<SecretKey> ParseSecretKeyFile(std::string_view text, std::string* problem) {
  const std::vector<std::string> lines = DataLines(text);
  if (lines.size() != 1) {
    return Fail<SecretKey>(problem, "is not a secret key file (one base64 line expected)");
  }
  const auto bytes = DecodeBase64(lines[0]);
  if (!bytes || bytes->size() != kSecretKeySize) {
    return Fail<SecretKey>(problem, "is not a base64 Ed25519 secret key");
  }
  SecretKey key;
  std::copy(bytes->begin(), bytes->end(), key.Bytes.begin());
  // The second half must be the public key of the first, or every signature
  // made with it would fail to verify.
  if (!StartCrypto()) return Fail<SecretKey>(problem, "cannot start libsodium");
  PublicKey derived{};
  std::array<unsigned char, kSecretKeySize> regenerated{};
  crypto_sign_seed_keypair(derived.data(), regenerated.data(), key.Bytes.data());
  sodium_memzero(regenerated.data(), regenerated.size());
  if (sodium_memcmp(derived.data(), key.Bytes.data() + 32, kPublicKeySize) != 0) {
    return Fail<SecretKey>(problem, "is damaged: its public half does not match its seed");
  }
  return key;
}

std::string SecretKeyFileText(const SecretKey& key) {
  return "# Kanade Patcher publisher secret key " + KeyIdOf(key.Public()) +
         " (keep it private; never publish or commit it)\n" +
         EncodeBase64(AsText(key.Bytes.data(), key.Bytes.size())) + "\n";
}

std::optional<SecretKey> GenerateSecretKey() {
  if (!StartCrypto()) return std::nullopt;
  SecretKey key;
  PublicKey unused{};
  if (crypto_sign_keypair(unused.data(), key.Bytes.data()) != 0) return std::nullopt;
  return key;
}

std::optional<std::array<unsigned char, kSignatureSize>> SignMessage(std::string_view message,
                                                                     const SecretKey& key) {
  std::array<unsigned char, kSignatureSize> signature{};
  if (!StartCrypto() || crypto_sign_detached(signature.data(), nullptr,
                                             reinterpret_cast<const unsigned char*>(message.data()),
                                             message.size(), key.Bytes.data()) != 0) {
    return std::nullopt;
  }
  return signature;
}

bool VerifyMessage(std::string_view message, const unsigned char* signature, const PublicKey& key) {
  if (!StartCrypto()) return false;
  return crypto_sign_verify_detached(signature,
                                     reinterpret_cast<const unsigned char*>(message.data()),
                                     message.size(), key.data()) == 0;
}

}  // namespace kanade
