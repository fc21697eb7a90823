// Ctrl-C and termination requests during a publish: caught while a guard
// lives, so that the work stops at a safe point, its temporary files go and
// the publisher learns what the served folder holds.
#pragma once

namespace kanade {

/// Catches SIGINT and SIGTERM (on Windows Ctrl-C and Ctrl-Break) while it
/// lives; the default handling comes back when it goes.
class InterruptionGuard {
 public:
  InterruptionGuard();
  ~InterruptionGuard();
  InterruptionGuard(const InterruptionGuard&) = delete;
  InterruptionGuard& operator=(const InterruptionGuard&) = delete;

  /// Ends the process by the signal that interrupted it, as an uncaught
  /// one would, so that a shell or script sees it as interrupted.
  [[noreturn]] void EndAsInterrupted();
};

/// True once an interruption arrived while a guard lived.
bool Interrupted();

}  // namespace kanade
