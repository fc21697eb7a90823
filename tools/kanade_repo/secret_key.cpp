#include "secret_key.h"

#include <sodium.h>

#include <algorithm>

#include "repos/repository_trust.h"
#include "util/base64.h"

namespace kanade {

namespace {

std::string_view AsText(const unsigned char* bytes, std::size_t size) {
  return {reinterpret_cast<const char*>(bytes), size};
}

template <typename T>
std::optional<T> Fail(std::string* problem, std::string why) {
  if (problem != nullptr) *problem = std::move(why);
  return std::nullopt;
}

}  // namespace

SecretKey::~SecretKey() {
  sodium_memzero(Bytes.data(), Bytes.size());
}

PublicKey SecretKey::Public() const {
  PublicKey key{};
  crypto_sign_ed25519_sk_to_pk(key.data(), Bytes.data());
  return key;
}

void WipeText(std::string& text) {
  sodium_memzero(text.data(), text.size());
}

std::optional<SecretKey> ParseSecretKeyFile(std::string_view text, std::string* problem) {
  // Views into `text`: the only copy of the key's base64 stays the caller's.
  const std::vector<std::string_view> lines = KeyFileDataLines(text);
  if (lines.size() != 1) {
    return Fail<SecretKey>(problem, "is not a secret key file (one base64 line expected)");
  }
  auto bytes = DecodeBase64(lines[0]);
  if (!bytes || bytes->size() != kSecretKeySize) {
    if (bytes) WipeText(*bytes);
    return Fail<SecretKey>(problem, "is not a base64 Ed25519 secret key");
  }
  SecretKey key;
  std::copy(bytes->begin(), bytes->end(), key.Bytes.begin());
  WipeText(*bytes);
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
  std::string encoded = EncodeBase64(AsText(key.Bytes.data(), key.Bytes.size()));
  std::string text = "# Kanade Patcher publisher secret key " + KeyIdOf(key.Public()) +
                     " (keep it private; never publish or commit it)\n";
  text.reserve(text.size() + encoded.size() + 1);
  text += encoded;
  text += '\n';
  WipeText(encoded);
  return text;
}

std::string PublicKeyFileText(const PublicKey& key) {
  return "# Kanade Patcher publisher public key " + KeyIdOf(key) + "\n" +
         EncodeBase64(AsText(key.data(), key.size())) + "\n";
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

std::string SignatureLineFor(std::string_view message, const SecretKey& key) {
  const auto signature = SignMessage(message, key);
  if (!signature) return {};
  return std::string(kSignatureLinePrefix) + KeyIdOf(key.Public()) + " " +
         EncodeBase64(
             std::string_view(reinterpret_cast<const char*>(signature->data()), signature->size()));
}

}  // namespace kanade
