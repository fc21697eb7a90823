// Secrets that belong to the player alone, kept in the player's own profile
// where other users cannot read them: on a shared drive, anything kept
// beside the program can be read and rewritten by whoever shares it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "util/reason.h"

namespace kanade {

/// The folder that holds them: %LOCALAPPDATA%\Kanade Patcher on Windows,
/// $XDG_STATE_HOME/kanade-patcher (else ~/.local/state/kanade-patcher)
/// elsewhere. Empty when the profile cannot be told.
std::string PlayerSecretFolder();

/// The `size` random bytes kept as `name` in that folder, made on first use
/// readable and writable by the player alone (mode 0600, or an access list
/// for the player and the system alone). Nothing when they cannot be made or
/// read, or when someone else could read or change them; `why` says which.
std::optional<std::string> PlayerSecret(std::string_view name, std::size_t size, Reason* why);

}  // namespace kanade
