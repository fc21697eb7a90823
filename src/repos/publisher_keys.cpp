#include "repos/publisher_keys.h"

#include <sodium.h>

#include <algorithm>
#include <mutex>

#include "repos/sha256.h"
#include "util/base64.h"
#include "util/text.h"

namespace kanade {

// Written by CMake from the key file named by KANADE_PUBLISHER_KEYS.
extern const char* const kCompiledPublisherKeyTexts[];
extern const std::size_t kCompiledPublisherKeyCount;

namespace {

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

std::vector<std::string_view> KeyFileDataLines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const auto end = std::min(text.find_first_of("\r\n", start), text.size());
    std::string_view line = text.substr(start, end - start);
    const auto first = line.find_first_not_of(" \t");
    if (first != std::string_view::npos) {
      line = line.substr(first, line.find_last_not_of(" \t") - first + 1);
      if (line[0] != '#') lines.push_back(line);
    }
    start = end + 1;
  }
  return lines;
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
  for (const std::string_view line : KeyFileDataLines(text)) {
    const auto bytes = DecodeBase64(line);
    if (!bytes || bytes->size() != kPublicKeySize) {
      return Fail<std::vector<PublicKey>>(
          problem, "\"" + ShortenMiddle(ReplaceAll(line, "\t", " "), 20, 10) +
                       "\" is not a base64 Ed25519 public key");
    }
    PublicKey key{};
    std::copy(bytes->begin(), bytes->end(), key.begin());
    keys.push_back(key);
  }
  if (keys.empty()) return Fail<std::vector<PublicKey>>(problem, "holds no public key");
  return keys;
}

bool VerifyMessage(std::string_view message, const unsigned char* signature, const PublicKey& key) {
  if (!StartCrypto()) return false;
  return crypto_sign_verify_detached(signature,
                                     reinterpret_cast<const unsigned char*>(message.data()),
                                     message.size(), key.data()) == 0;
}

}  // namespace kanade
