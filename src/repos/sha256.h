// SHA-256 digest text: 64 lower-case hexadecimal characters.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kanade {

/// Digest text of the bytes of `text` (UTF-8, no terminator).
std::string Sha256OfText(std::string_view text);

/// Digest text of `size` bytes at `data`.
std::string Sha256OfBytes(const void* data, std::size_t size);

/// Digest text of a file's whole contents, read in 1 MiB chunks; empty when
/// the file cannot be opened or read.
std::string Sha256OfFile(std::string_view path);

}  // namespace kanade
