// Starting and copying programs for the self-upgrade, behind a seam so the
// hand-off logic can be tested without starting processes.
#pragma once

#include <string>
#include <string_view>

namespace kanade {

class ProgramLauncher {
 public:
  virtual ~ProgramLauncher() = default;
  /// Starts `program` with the blank-separated `parameters` in `folder`
  /// without waiting; the started program outlives this one.
  virtual bool StartProgram(std::string_view program, std::string_view parameters,
                            std::string_view folder) = 0;
  /// Copies `from` over `to`, replacing it whole (and cleanly while `to` is
  /// still running).
  virtual bool CopyFileOver(std::string_view from, std::string_view to) = 0;
};

/// The launcher in use: the platform's unless a test installed another.
ProgramLauncher& Launcher();
/// Installs `launcher` (not owned); nullptr restores the platform's.
void SetLauncher(ProgramLauncher* launcher);

/// The platform's implementation.
ProgramLauncher& PlatformLauncher();

}  // namespace kanade
