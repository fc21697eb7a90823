// The operating system's own words for the last failure, for the log.
#pragma once

#include <string>

namespace kanade {

/// The text of errno (or, on Windows, of GetLastError when it is set),
/// with its number: "No space left on device (errno 28)".
std::string LastSystemError();

}  // namespace kanade
