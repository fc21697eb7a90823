#include "gzip_file.h"

#include <zlib.h>

#include <vector>

#include "interruption.h"
#include "repos/sha256.h"

namespace kanade {

namespace {

constexpr std::size_t kChunk = 1 << 20;
constexpr int kGzipWindow = 15 + 16;  // deflate data in a gzip wrapper

}  // namespace

bool GzipStream(std::FILE* source, NewFile& target, std::uint64_t limit, std::string* digest,
                std::uint64_t* size, bool* failed) {
  *failed = false;
  z_stream stream{};
  if (deflateInit2(&stream, 9, Z_DEFLATED, kGzipWindow, 9, Z_DEFAULT_STRATEGY) != Z_OK) {
    *failed = true;
    return false;
  }
  std::vector<unsigned char> in(kChunk);
  std::vector<unsigned char> out(kChunk);
  Sha256Hasher hasher;
  std::uint64_t written = 0;
  *size = 0;
  bool within = true;
  int flush = Z_NO_FLUSH;
  while (flush != Z_FINISH && within && !*failed) {
    const std::size_t got = std::fread(in.data(), 1, in.size(), source);
    if (std::ferror(source) != 0 || !hasher.Update(in.data(), got) || Interrupted()) {
      *failed = true;
    }
    *size += got;
    flush = got < in.size() ? Z_FINISH : Z_NO_FLUSH;
    stream.next_in = in.data();
    stream.avail_in = static_cast<uInt>(got);
    do {
      stream.next_out = out.data();
      stream.avail_out = static_cast<uInt>(out.size());
      if (deflate(&stream, flush) == Z_STREAM_ERROR) *failed = true;
      const std::size_t produced = out.size() - stream.avail_out;
      written += produced;
      if (written > limit) within = false;
      if (within && !target.Write(out.data(), produced)) *failed = true;
    } while (stream.avail_out == 0 && within && !*failed);
  }
  deflateEnd(&stream);
  if (*failed || !within) return false;
  *digest = hasher.Finish();
  return !digest->empty();
}

std::optional<DecodedBody> DecodeGzipStream(std::FILE* file) {
  z_stream stream{};
  if (inflateInit2(&stream, kGzipWindow) != Z_OK) return std::nullopt;
  std::vector<unsigned char> in(kChunk);
  std::vector<unsigned char> out(kChunk);
  Sha256Hasher hasher;
  DecodedBody body;
  int status = Z_OK;
  bool ok = true;
  while (ok && status != Z_STREAM_END) {
    const std::size_t got = std::fread(in.data(), 1, in.size(), file);
    if (std::ferror(file) != 0 || got == 0) break;  // an error, or the data ends early
    stream.next_in = in.data();
    stream.avail_in = static_cast<uInt>(got);
    do {
      stream.next_out = out.data();
      stream.avail_out = static_cast<uInt>(out.size());
      status = inflate(&stream, Z_NO_FLUSH);
      if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) ok = false;
      const std::size_t produced = out.size() - stream.avail_out;
      body.Size += produced;
      if (!hasher.Update(out.data(), produced)) ok = false;
    } while (ok && stream.avail_out == 0 && status != Z_STREAM_END);
    // Bytes after the gzip member would be a second member or junk.
    if (status == Z_STREAM_END && (stream.avail_in > 0 || std::fgetc(file) != EOF)) ok = false;
  }
  inflateEnd(&stream);
  if (!ok || status != Z_STREAM_END) return std::nullopt;
  body.Digest = hasher.Finish();
  if (body.Digest.empty()) return std::nullopt;
  return body;
}

}  // namespace kanade
