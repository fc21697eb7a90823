// Start-up of the program, in its fixed order, up to the event loop.
#pragma once

#include "ui/toolkit.h"

namespace kanade {

/// Runs the whole program with `toolkit` as its window system: start-up, the
/// event loop while the main window exists, then the shutdown sequence.
/// Returns 0 (it only returns when a test replaced the process end).
int RunProgram(int argc, char** argv, Toolkit* toolkit);

/// Hides the two painted buttons' controls, starts the 100 ms timer once
/// and forces the first paint.
void PrepareMainWindow();

}  // namespace kanade
