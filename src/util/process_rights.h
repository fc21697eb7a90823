// Whether this process runs with more rights than the player's own programs.
#pragma once

namespace kanade {

/// True when the process runs as root (POSIX) or with an elevated
/// administrator's token (Windows).
bool RunsElevated();

}  // namespace kanade
