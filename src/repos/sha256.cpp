// SHA-256 from OpenSSL's libcrypto (EVP).
#include "repos/sha256.h"

#include <openssl/evp.h>

namespace kanade {

namespace {

const EVP_MD* Sha256Algorithm() {
#if OPENSSL_VERSION_NUMBER >= 0x30000000L
  // Fetched once: the implicit fetch behind EVP_sha256() costs a lookup per
  // digest, which shows when many small module files are checked.
  static EVP_MD* const algorithm = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  if (algorithm != nullptr) return algorithm;
#endif
  return EVP_sha256();
}

std::string HexText(const unsigned char* digest, unsigned int length) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(length * 2);
  for (unsigned int i = 0; i < length; ++i) {
    text += kDigits[digest[i] >> 4];
    text += kDigits[digest[i] & 0x0F];
  }
  return text;
}

}  // namespace

struct Sha256Hasher::Impl {
  EVP_MD_CTX* context = nullptr;
  bool ok = false;
  ~Impl() { EVP_MD_CTX_free(context); }
};

Sha256Hasher::Sha256Hasher() : impl_(std::make_unique<Impl>()) {
  impl_->context = EVP_MD_CTX_new();
  impl_->ok = impl_->context != nullptr &&
              EVP_DigestInit_ex(impl_->context, Sha256Algorithm(), nullptr) == 1;
}

Sha256Hasher::~Sha256Hasher() = default;
Sha256Hasher::Sha256Hasher(Sha256Hasher&&) noexcept = default;
Sha256Hasher& Sha256Hasher::operator=(Sha256Hasher&&) noexcept = default;

bool Sha256Hasher::Update(const void* data, std::size_t size) {
  if (!impl_ || !impl_->ok) return false;
  if (size > 0 && EVP_DigestUpdate(impl_->context, data, size) != 1) impl_->ok = false;
  return impl_->ok;
}

std::string Sha256Hasher::Finish() {
  if (!impl_ || !impl_->ok) return {};
  impl_->ok = false;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(impl_->context, digest, &length) != 1) return {};
  return HexText(digest, length);
}

}  // namespace kanade
