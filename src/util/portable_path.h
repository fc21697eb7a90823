// Relative paths that name the same file on every platform and stay inside
// the folder they are joined to. Repository files are published once for
// Windows and Linux players alike, so a name that Windows would read as a
// device, a stream or another file is refused everywhere.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kanade {

/// One path segment that Windows and Linux both read as the plain name it
/// is: not empty, not "." or "..", no device name (CON, NUL.txt, COM1 ...),
/// no ":", no trailing "." or " ", none of <>"|?* and no control character.
bool IsPortableSegment(std::string_view segment);

/// The segments of `relative` ("\" and "/" both separate), or nothing when
/// the path is empty, absolute, starts with a drive letter or holds a
/// segment that IsPortableSegment refuses.
bool SplitPortablePath(std::string_view relative, std::vector<std::string>* segments = nullptr);

}  // namespace kanade
