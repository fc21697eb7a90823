// The one shutdown sequence every path that ends the program goes through.
#pragma once

#include <functional>

namespace kanade {

/// Closes the windows, releases the facilities and ends the process with
/// the exit status set (0 unless told otherwise). Under a test's process
/// end it returns instead, with ProgramEnded() true; callers return at once
/// after calling it.
void EndProgram();

/// The exit status EndProgram ends the process with: non-zero when what the
/// player asked for failed (an uninstall), for whoever started it.
void SetExitStatus(int status);
int ExitStatus();

/// True once EndProgram ran (only observable under a test's process end).
bool ProgramEnded();

/// What ends the process (std::exit(0) by default); tests install a recorder.
void SetProcessEnd(std::function<void()> end);

/// Releases network, windows and pictures; registered by start-up.
void SetShutdownRelease(std::function<void()> release);

}  // namespace kanade
