// One patch run at a time in a program folder. A second copy started there
// (a second click, a launcher) would otherwise clear away the temporary
// files of the first one's downloads as leftovers, and each would report
// the other's work as its own failure.
#pragma once

#include <string_view>

namespace kanade {

/// Takes the run lock of `folder` without waiting: true when this process
/// holds it now, or already did. Also true when the system has no lock to
/// give, so that a run is never held up by that. The system lets go of the
/// lock when the process ends, however it ends; programs started from here
/// do not inherit it.
bool TakeRunLock(std::string_view folder);

/// Lets go of the run lock, when this process holds it.
void ReleaseRunLock();

}  // namespace kanade
