// SHA-256 on Windows from CNG (bcrypt.dll), so that kanade.exe needs no
// OpenSSL. Same digest texts as the libcrypto version on other systems.
#include <windows.h>

#include <bcrypt.h>

#include <cstdio>
#include <memory>
#include <vector>

#include "repos/sha256.h"
#include "util/utf.h"

namespace kanade {

namespace {

constexpr std::size_t kFileChunk = 1024 * 1024;
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

struct HashDeleter {
  void operator()(void* hash) const { BCryptDestroyHash(static_cast<BCRYPT_HASH_HANDLE>(hash)); }
};
using Hash = std::unique_ptr<void, HashDeleter>;

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

Hash StartDigest() {
  BCRYPT_ALG_HANDLE algorithm = Sha256Algorithm();
  if (algorithm == nullptr) return Hash();
  BCRYPT_HASH_HANDLE hash = nullptr;
  if (BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) < 0) return Hash();
  return Hash(hash);
}

bool AddBytes(void* hash, const void* data, std::size_t size) {
  auto* bytes = static_cast<unsigned char*>(const_cast<void*>(data));
  while (size > 0) {
    const std::size_t piece = size < kMaxUpdate ? size : kMaxUpdate;
    if (BCryptHashData(static_cast<BCRYPT_HASH_HANDLE>(hash), bytes, static_cast<ULONG>(piece), 0) <
        0) {
      return false;
    }
    bytes += piece;
    size -= piece;
  }
  return true;
}

std::string FinishDigest(void* hash) {
  unsigned char digest[kDigestLength];
  if (BCryptFinishHash(static_cast<BCRYPT_HASH_HANDLE>(hash), digest, kDigestLength, 0) < 0) {
    return {};
  }
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(kDigestLength * 2);
  for (unsigned char byte : digest) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0F];
  }
  return text;
}

}  // namespace

std::string Sha256OfText(std::string_view text) {
  return Sha256OfBytes(text.data(), text.size());
}

std::string Sha256OfBytes(const void* data, std::size_t size) {
  const Hash hash = StartDigest();
  if (!hash) return {};
  if (!AddBytes(hash.get(), data, size)) return {};
  return FinishDigest(hash.get());
}

std::string Sha256OfFile(std::string_view path) {
  if (path.empty()) return {};
  const File file(_wfopen(Widen(path).c_str(), L"rb"));
  if (!file) return {};
  std::setvbuf(file.get(), nullptr, _IONBF, 0);
  const Hash hash = StartDigest();
  if (!hash) return {};
  std::vector<unsigned char> chunk(kFileChunk);
  while (true) {
    const std::size_t got = std::fread(chunk.data(), 1, chunk.size(), file.get());
    if (got > 0 && !AddBytes(hash.get(), chunk.data(), got)) return {};
    if (got < chunk.size()) break;
  }
  // A read error must not pass for the digest of the bytes read so far.
  if (std::ferror(file.get()) != 0) return {};
  return FinishDigest(hash.get());
}

}  // namespace kanade
