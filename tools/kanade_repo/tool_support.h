// What every kanade-repo command shares: its exit statuses, its one-line
// complaints, and reading key files.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "secret_key.h"

namespace kanade {

inline constexpr int kOk = 0;
inline constexpr int kContentFailed = 1;  // does not verify, or cannot be signed
inline constexpr int kUsageOrIoFailed = 2;

/// Prints "kanade-repo: " + message on stderr; returns `status`.
int Complain(const std::string& message, int status);

/// Prints each of `problems` as its own complaint, then, when there are
/// several, how many and that `outcome` (such as "nothing was published");
/// returns kUsageOrIoFailed.
int ComplainOfEach(const std::vector<std::string>& problems, const std::string& outcome);

/// The secret key in `path`, or a complaint already printed (`status`).
std::optional<SecretKey> ReadSecretKey(const std::string& path, int* status);
/// The public keys in `path`, or a complaint already printed (`status`).
std::optional<std::vector<PublicKey>> ReadPublicKeys(const std::string& path, int* status);

/// Creates `path` with mode 600 (only when nothing is there yet) and writes
/// `text` to it, flushed to disk.
bool WritePrivateFile(const std::string& path, std::string_view text);

/// The SERIAL line of a repository text, signed or not; nothing when it has
/// no usable one.
std::optional<std::int64_t> SerialLineOf(std::string_view text);

/// One above the SERIAL of the repository file at `path` and of the .gz copy
/// beside it, which clients that accept gzip receive in its place; 1 when
/// neither has a usable SERIAL.
std::int64_t NextSerialOf(const std::string& path);

}  // namespace kanade
