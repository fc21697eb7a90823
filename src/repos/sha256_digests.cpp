// The digest functions over the platform's Sha256Hasher.

#include "repos/sha256.h"
#include "util/page_buffer.h"
#include "util/path.h"
#include "util/text.h"

namespace kanade {

namespace {
constexpr std::size_t kFileChunk = 1024 * 1024;
}

bool IsDigestText(std::string_view text) {
  return text.size() == 64 && IsLowerHex(text);
}

std::string Sha256OfText(std::string_view text) {
  return Sha256OfBytes(text.data(), text.size());
}

std::string Sha256OfBytes(const void* data, std::size_t size) {
  Sha256Hasher hasher;
  if (size > 0) hasher.Update(data, size);
  return hasher.Finish();
}

std::string Sha256OfFile(std::string_view path) {
  if (path.empty()) return {};
  const UniqueFile file(OpenFile(path, "rb"));
  if (!file) return {};
  return Sha256OfStream(file.get());
}

bool CopyHashing(std::FILE* in, const std::function<bool(const char*, std::size_t)>& out,
                 std::string* digest, std::uint64_t* size) {
  // Our own chunk buffer is big enough; stdio's would only add a copy.
  std::setvbuf(in, nullptr, _IONBF, 0);
  Sha256Hasher hasher;
  PageBuffer chunk(kFileChunk);
  *size = 0;
  while (true) {
    const std::size_t got = std::fread(chunk.data(), 1, kFileChunk, in);
    if (got > 0 && (!hasher.Update(chunk.data(), got) || !out(chunk.data(), got))) return false;
    *size += got;
    if (got < kFileChunk) break;
  }
  if (std::ferror(in) != 0) return false;
  *digest = hasher.Finish();
  return !digest->empty();
}

std::string Sha256OfStream(std::FILE* file) {
  // Our own chunk buffer is big enough; stdio's would only add a copy.
  std::setvbuf(file, nullptr, _IONBF, 0);
  Sha256Hasher hasher;
  PageBuffer chunk(kFileChunk);
  while (true) {
    const std::size_t got = std::fread(chunk.data(), 1, kFileChunk, file);
    if (got > 0 && !hasher.Update(chunk.data(), got)) return {};
    if (got < kFileChunk) break;
  }
  // A read error (a folder, a vanished network file) must not pass for the
  // digest of the bytes read so far.
  if (std::ferror(file) != 0) return {};
  return hasher.Finish();
}

}  // namespace kanade
