// Start-up of the program, in its fixed order, up to the event loop.
#pragma once

#include <functional>

#include "ui/toolkit.h"

namespace kanade {

/// Runs the whole program with the toolkit that `make_toolkit` returns (null
/// without a display) as its window system: start-up, the event loop while
/// the main window exists, then the shutdown sequence. The toolkit is made
/// once the repository files are on their way. Returns 0 (it only returns
/// when a test replaced the process end).
int RunProgram(int argc, char** argv, const std::function<Toolkit*()>& make_toolkit);
/// The same with a toolkit made beforehand.
int RunProgram(int argc, char** argv, Toolkit* toolkit);

/// Hides the two painted buttons' controls, starts the 100 ms timer once
/// and forces the first paint.
void PrepareMainWindow();

}  // namespace kanade
