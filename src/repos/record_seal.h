// The seal of the record of installed files: an HMAC-SHA-256 over its text
// with a key of the player's own, kept in the player's profile. Whoever else
// can write the program folder (a shared drive, a drive without owners) can
// change the record, but cannot seal it, so a forged record removes nothing.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "util/reason.h"

namespace kanade {

/// The player's sealing key, made on first use; nothing, with `why`, when
/// it cannot be made or read, or others could read it.
std::optional<std::string> RecordSealKey(Reason* why);

/// The seal of `text` under `key`: 64 lower-case hexadecimal digits.
std::string SealOf(std::string_view key, std::string_view text);

/// Whether `seal` is the seal of `text` under `key`, compared in constant
/// time.
bool SealHolds(std::string_view key, std::string_view text, std::string_view seal);

}  // namespace kanade
