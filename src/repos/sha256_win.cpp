// SHA-256 on Windows from CNG (bcrypt.dll), so that kanade.exe needs no
// OpenSSL. Same digest texts as the libcrypto version on other systems.
#include <windows.h>

#include <bcrypt.h>

#include "repos/sha256.h"

namespace kanade {

namespace {

constexpr ULONG kDigestLength = 32;
// BCryptHashData takes a ULONG count; larger buffers are fed in pieces.
constexpr std::size_t kMaxUpdate = 1u << 30;

// Opened once; an algorithm handle may be shared by every thread.
BCRYPT_ALG_HANDLE Sha256Algorithm() {
  static BCRYPT_ALG_HANDLE const algorithm = [] {
    BCRYPT_ALG_HANDLE handle = nullptr;
    if (BCryptOpenAlgorithmProvider(&handle, BCRYPT_SHA256_ALGORITHM, nullptr, 0) < 0) {
      return BCRYPT_ALG_HANDLE{nullptr};
    }
    return handle;
  }();
  return algorithm;
}

}  // namespace

struct Sha256Hasher::Impl {
  BCRYPT_HASH_HANDLE hash = nullptr;
  bool ok = false;
  ~Impl() {
    if (hash != nullptr) BCryptDestroyHash(hash);
  }
};

Sha256Hasher::Sha256Hasher() : impl_(std::make_unique<Impl>()) {
  BCRYPT_ALG_HANDLE algorithm = Sha256Algorithm();
  impl_->ok = algorithm != nullptr &&
              BCryptCreateHash(algorithm, &impl_->hash, nullptr, 0, nullptr, 0, 0) >= 0;
}

Sha256Hasher::~Sha256Hasher() = default;
Sha256Hasher::Sha256Hasher(Sha256Hasher&&) noexcept = default;
Sha256Hasher& Sha256Hasher::operator=(Sha256Hasher&&) noexcept = default;

bool Sha256Hasher::Update(const void* data, std::size_t size) {
  if (!impl_ || !impl_->ok) return false;
  auto* bytes = static_cast<unsigned char*>(const_cast<void*>(data));
  while (size > 0) {
    const std::size_t piece = size < kMaxUpdate ? size : kMaxUpdate;
    if (BCryptHashData(impl_->hash, bytes, static_cast<ULONG>(piece), 0) < 0) {
      impl_->ok = false;
      return false;
    }
    bytes += piece;
    size -= piece;
  }
  return true;
}

std::string Sha256Hasher::Finish() {
  if (!impl_ || !impl_->ok) return {};
  impl_->ok = false;
  unsigned char digest[kDigestLength];
  if (BCryptFinishHash(impl_->hash, digest, kDigestLength, 0) < 0) return {};
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(kDigestLength * 2);
  for (unsigned char byte : digest) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0F];
  }
  return text;
}

}  // namespace kanade
