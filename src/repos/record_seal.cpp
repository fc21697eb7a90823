#include "repos/record_seal.h"

#include <sodium.h>

#include "repos/publisher_keys.h"
#include "util/player_secret.h"

namespace kanade {

namespace {

constexpr std::string_view kKeyName = "record.key";

}  // namespace

std::optional<std::string> RecordSealKey(Reason* why) {
  return PlayerSecret(kKeyName, crypto_auth_hmacsha256_KEYBYTES, why);
}

std::string SealOf(std::string_view key, std::string_view text) {
  if (!StartCrypto() || key.size() != crypto_auth_hmacsha256_KEYBYTES) return {};
  unsigned char mac[crypto_auth_hmacsha256_BYTES];
  crypto_auth_hmacsha256(mac, reinterpret_cast<const unsigned char*>(text.data()), text.size(),
                         reinterpret_cast<const unsigned char*>(key.data()));
  char hex[2 * sizeof mac + 1];
  sodium_bin2hex(hex, sizeof hex, mac, sizeof mac);
  return hex;
}

bool SealHolds(std::string_view key, std::string_view text, std::string_view seal) {
  const std::string expected = SealOf(key, text);
  return !expected.empty() && seal.size() == expected.size() &&
         sodium_memcmp(expected.data(), seal.data(), expected.size()) == 0;
}

}  // namespace kanade
