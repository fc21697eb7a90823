// Standard base64 (RFC 4648, "+/" alphabet, "=" padding), as key files and
// signature lines carry their bytes.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kanade {

std::string EncodeBase64(std::string_view bytes);

/// The bytes of canonical base64 text: padded to a multiple of four, no
/// white space, unused bits zero. Anything else gives nothing, so one byte
/// string has exactly one accepted text.
std::optional<std::string> DecodeBase64(std::string_view text);

}  // namespace kanade
