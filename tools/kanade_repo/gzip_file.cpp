#include "gzip_file.h"

#include <zlib.h>

#include <cstdint>
#include <filesystem>
#include <system_error>
#include <vector>

#include "interruption.h"
#include "repos/sha256.h"
#include "util/page_buffer.h"
#include "util/path.h"

namespace kanade {

namespace {

constexpr std::size_t kChunk = 1 << 20;
constexpr int kGzipWindow = 15 + 16;  // deflate data in a gzip wrapper

// A gzip stream (level 9) into a NewFile that gives up once it would pass
// a byte limit.
class GzipWriter {
 public:
  GzipWriter(NewFile& target, std::uint64_t limit) : target_(target), limit_(limit) {
    failed_ = deflateInit2(&stream_, 9, Z_DEFLATED, kGzipWindow, 9, Z_DEFAULT_STRATEGY) != Z_OK;
    ready_ = !failed_;
  }
  ~GzipWriter() {
    if (ready_) deflateEnd(&stream_);
  }
  GzipWriter(const GzipWriter&) = delete;
  GzipWriter& operator=(const GzipWriter&) = delete;

  /// Compresses `size` more bytes, the last ones with `last`; false once
  /// writing failed or the output passed the limit.
  bool Add(const unsigned char* data, std::size_t size, bool last) {
    const int flush = last ? Z_FINISH : Z_NO_FLUSH;
    stream_.next_in = const_cast<unsigned char*>(data);
    stream_.avail_in = static_cast<uInt>(size);
    do {
      stream_.next_out = out_.bytes();
      stream_.avail_out = static_cast<uInt>(out_.size());
      if (deflate(&stream_, flush) == Z_STREAM_ERROR) failed_ = true;
      const std::size_t produced = out_.size() - stream_.avail_out;
      written_ += produced;
      if (written_ > limit_) over_ = true;
      if (!over_ && !failed_ && !target_.Write(out_.bytes(), produced)) failed_ = true;
    } while (stream_.avail_out == 0 && !over_ && !failed_);
    return !over_ && !failed_;
  }
  bool failed() const { return failed_; }

 private:
  NewFile& target_;
  std::uint64_t limit_;
  z_stream stream_{};
  PageBuffer out_{kChunk};
  std::uint64_t written_ = 0;
  bool ready_ = false;
  bool failed_ = false;
  bool over_ = false;
};

}  // namespace

bool GzipStream(std::FILE* source, NewFile& target, std::uint64_t limit, std::string* digest,
                std::uint64_t* size, bool* failed) {
  GzipWriter gzip(target, limit);
  PageBuffer in(kChunk);
  Sha256Hasher hasher;
  *size = 0;
  bool going = !gzip.failed();
  bool last = false;
  while (going && !last) {
    const std::size_t got = std::fread(in.bytes(), 1, in.size(), source);
    if (std::ferror(source) != 0 || !hasher.Update(in.bytes(), got) || Interrupted()) {
      *failed = true;
      return false;
    }
    *size += got;
    last = got < in.size();
    going = gzip.Add(in.bytes(), got, last);
  }
  *failed = gzip.failed();
  if (!going) return false;
  *digest = hasher.Finish();
  return !digest->empty();
}

bool GzipBytes(std::string_view bytes, NewFile& target) {
  GzipWriter gzip(target, UINT64_MAX);
  return !gzip.failed() &&
         gzip.Add(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), true);
}

bool RenewGzipCopyBeside(const std::string& path, std::string_view bytes) {
  const std::filesystem::path gz = FsPath(path + ".gz");
  std::error_code ec;
  if (!std::filesystem::exists(std::filesystem::symlink_status(gz, ec))) return true;
  auto folder = ContainedFolder::Open(Utf8Path(gz.parent_path()), {}, false);
  const std::string name = Utf8Path(gz.filename());
  auto file = folder ? folder->CreateTemporary(name) : std::nullopt;
  return file && GzipBytes(bytes, *file) && file->Finish(true) &&
         folder->MoveIntoPlace(*file, name);
}

std::optional<DecodedBody> DecodeGzipStream(std::FILE* file, std::uint64_t limit,
                                            std::string* bytes) {
  z_stream stream{};
  if (inflateInit2(&stream, kGzipWindow) != Z_OK) return std::nullopt;
  PageBuffer in(kChunk);
  PageBuffer out(kChunk);
  Sha256Hasher hasher;
  DecodedBody body;
  int status = Z_OK;
  bool ok = true;
  while (ok && status != Z_STREAM_END) {
    const std::size_t got = std::fread(in.bytes(), 1, in.size(), file);
    if (std::ferror(file) != 0 || got == 0) break;  // an error, or the data ends early
    stream.next_in = in.bytes();
    stream.avail_in = static_cast<uInt>(got);
    do {
      stream.next_out = out.bytes();
      stream.avail_out = static_cast<uInt>(out.size());
      status = inflate(&stream, Z_NO_FLUSH);
      if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) ok = false;
      const std::size_t produced = out.size() - stream.avail_out;
      body.Size += produced;
      if (bytes != nullptr) bytes->append(reinterpret_cast<const char*>(out.bytes()), produced);
      if (body.Size > limit) {
        inflateEnd(&stream);
        return body;
      }
      if (!hasher.Update(out.bytes(), produced)) ok = false;
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
