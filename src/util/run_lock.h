// One patch run at a time in a program folder. A second copy started there
// (a second click, a launcher) would otherwise clear away the temporary
// files of the first one's downloads as leftovers, and each would report
// the other's work as its own failure.
#pragma once

#include <string_view>

namespace kanade {

/// The file in the folder whose lock is the run lock. Only the running user
/// may open it (mode 0600; on Windows an access list naming them alone), so
/// nobody else can hold the lock; a file that others may open is replaced,
/// or when it cannot be, never waited for.
inline constexpr std::string_view kRunLockName = "kanade.lock";

/// Takes the run lock of `folder` without waiting: true when this process
/// holds it now, or already did. Also true when the system has no lock to
/// give (a folder it cannot write, a lock file held by someone else), so
/// that a run is never held up by that. On a file system without owners
/// (FAT, exFAT) anyone may open the file, which cannot be helped. The system lets go of the
/// lock when the process ends, however it ends; programs started from here
/// do not inherit it.
bool TakeRunLock(std::string_view folder);

/// Lets go of the run lock, when this process holds it.
void ReleaseRunLock();

}  // namespace kanade
