#include "repos/sha256.h"

#include <openssl/evp.h>

#include <cstdio>
#include <memory>

#include "util/path.h"

namespace kanade {

namespace {

constexpr std::size_t kFileChunk = 1024 * 1024;

struct DigestContextDeleter {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using DigestContext = std::unique_ptr<EVP_MD_CTX, DigestContextDeleter>;

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

DigestContext StartDigest() {
  DigestContext context(EVP_MD_CTX_new());
  if (context && EVP_DigestInit_ex(context.get(), Sha256Algorithm(), nullptr) != 1) {
    context.reset();
  }
  return context;
}

std::string FinishDigest(EVP_MD_CTX* context) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context, digest, &length) != 1) return {};
  return HexText(digest, length);
}

}  // namespace

std::string Sha256OfText(std::string_view text) {
  return Sha256OfBytes(text.data(), text.size());
}

std::string Sha256OfBytes(const void* data, std::size_t size) {
  const DigestContext context = StartDigest();
  if (!context) return {};
  if (size > 0 && EVP_DigestUpdate(context.get(), data, size) != 1) return {};
  return FinishDigest(context.get());
}

std::string Sha256OfFile(std::string_view path) {
  if (path.empty()) return {};
  const UniqueFile file(OpenFile(path, "rb"));
  if (!file) return {};
  // Our own chunk buffer is big enough; stdio's would only add a copy.
  std::setvbuf(file.get(), nullptr, _IONBF, 0);
  const DigestContext context = StartDigest();
  if (!context) return {};
  // Not zero-filled: a small file then costs only the pages it touches.
  const auto chunk = std::make_unique_for_overwrite<unsigned char[]>(kFileChunk);
  while (true) {
    const std::size_t got = std::fread(chunk.get(), 1, kFileChunk, file.get());
    if (got > 0 && EVP_DigestUpdate(context.get(), chunk.get(), got) != 1) return {};
    if (got < kFileChunk) break;
  }
  // A read error (a folder, a vanished network file) must not pass for the
  // digest of the bytes read so far.
  if (std::ferror(file.get()) != 0) return {};
  return FinishDigest(context.get());
}

}  // namespace kanade
