// The .gz copies beside served bodies and repositories (nginx's gzip_static
// sends them to clients that accept gzip, and the patcher checks the decoded
// bytes).
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "util/contained_folder.h"

namespace kanade {

/// Writes the gzip form (level 9) of everything `source` still holds to
/// `target`, while `source`'s bytes also go through `digest` and `size`.
/// Stops, returning false, once the gzip form would exceed `limit` bytes;
/// also false when reading or writing fails or the publish is interrupted
/// (then `failed` is set).
bool GzipStream(std::FILE* source, NewFile& target, std::uint64_t limit, std::string* digest,
                std::uint64_t* size, bool* failed);

/// Writes the gzip form (level 9) of `bytes` to `target`; false when
/// writing fails.
bool GzipBytes(std::string_view bytes, NewFile& target);

/// When a .gz copy lies beside the file `path` (kanade-repo publish keeps one
/// beside every repository), writes it anew for `bytes`, which are to
/// replace the file: a web server would send the stale copy instead. True
/// when there is none or it was written.
bool RenewGzipCopyBeside(const std::string& path, std::string_view bytes);

struct DecodedBody {
  std::string Digest;  // of the decoded bytes
  std::uint64_t Size = 0;
};

/// The digest and size of what the gzip data in `file` decodes to; nothing
/// when it is not whole, valid gzip data or cannot be read. Decoding stops
/// once more than `limit` bytes came out (a copy that should equal a known
/// file need not be inflated further): then Size is past `limit` and Digest
/// is empty. With `bytes`, the decoded bytes go there too (past `limit`, at
/// least those up to it).
std::optional<DecodedBody> DecodeGzipStream(std::FILE* file, std::uint64_t limit = UINT64_MAX,
                                            std::string* bytes = nullptr);

}  // namespace kanade
