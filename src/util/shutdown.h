// The one shutdown sequence every path that ends the program goes through.
#pragma once

#include <functional>

namespace kanade {

/// Closes the windows, releases the facilities and ends the process with
/// exit code 0. Under a test's process end it returns instead, with
/// ProgramEnded() true; callers return at once after calling it.
void EndProgram();

/// True once EndProgram ran (only observable under a test's process end).
bool ProgramEnded();

/// What ends the process (std::exit(0) by default); tests install a recorder.
void SetProcessEnd(std::function<void()> end);

/// Releases network, windows and pictures; registered by start-up.
void SetShutdownRelease(std::function<void()> release);

}  // namespace kanade
