// Start-up and the one shutdown sequence of the program.
#pragma once

namespace kanade {

/// Runs the whole program: start-up, the event loop while the main window
/// exists, shutdown. Always returns 0.
int RunProgram(int argc, char** argv);

/// Releases what start-up acquired and ends the process with exit code 0.
/// Every path that ends the program goes through here.
[[noreturn]] void Shutdown();

}  // namespace kanade
