// SHA-256 digest text: 64 lower-case hexadecimal characters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace kanade {

/// A digest fed piece by piece, for bodies hashed as they arrive.
class Sha256Hasher {
 public:
  Sha256Hasher();
  ~Sha256Hasher();
  Sha256Hasher(Sha256Hasher&&) noexcept;
  Sha256Hasher& operator=(Sha256Hasher&&) noexcept;

  /// False once anything failed; later calls then do nothing.
  bool Update(const void* data, std::size_t size);
  /// The digest text of everything fed; empty after a failure. Call once.
  std::string Finish();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

/// Whether `text` has the form of a digest text: 64 lower-case hexadecimal
/// digits.
bool IsDigestText(std::string_view text);

/// Digest text of the bytes of `text` (UTF-8, no terminator).
std::string Sha256OfText(std::string_view text);

/// Digest text of `size` bytes at `data`.
std::string Sha256OfBytes(const void* data, std::size_t size);

/// Digest text of a file's whole contents, read in 1 MiB chunks; empty when
/// the file cannot be opened or read.
std::string Sha256OfFile(std::string_view path);

/// The same for a file already open for reading, read to its end.
std::string Sha256OfStream(std::FILE* file);

/// Copies the rest of `in` to `out` (each chunk handed to `out` as it is
/// read) and gives the digest text and size of what was copied; false when
/// reading or writing failed.
bool CopyHashing(std::FILE* in, const std::function<bool(const char*, std::size_t)>& out,
                 std::string* digest, std::uint64_t* size);

}  // namespace kanade
