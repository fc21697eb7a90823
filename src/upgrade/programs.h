// Starting and installing programs for the self-upgrade, behind a seam so
// the hand-off logic can be tested without starting processes. Both check
// the program's digest through a handle that is held while the program is
// started or copied, so that what was checked is what runs.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "util/reason.h"

namespace kanade {

/// What starting or copying a program came to: done, or why not.
struct ProgramOutcome {
  bool Done = false;
  kanade::Reason Reason;  // why it was not done

  explicit operator bool() const { return Done; }
};

inline ProgramOutcome ProgramDone() {
  return {true, {}};
}
inline ProgramOutcome ProgramFailed(Reason reason) {
  return {false, std::move(reason)};
}

class ProgramLauncher {
 public:
  virtual ~ProgramLauncher() = default;
  /// Starts `program` with the blank-separated `parameters` in `folder`
  /// without waiting; the started program outlives this one. With an
  /// `expected_digest`, only when the file's contents have that digest.
  /// Done only once the program is known to run.
  virtual ProgramOutcome StartProgram(std::string_view program, std::string_view parameters,
                                      std::string_view folder,
                                      std::string_view expected_digest) = 0;
  /// Replaces `to` whole by a copy of `from`, only when `from` has the
  /// `expected_digest`: written beside `to`, flushed to disk and renamed over
  /// it, so a kill, a full disk or a power cut leaves the old or the new
  /// program whole.
  virtual ProgramOutcome CopyFileOver(std::string_view from, std::string_view to,
                                      std::string_view expected_digest) = 0;
};

/// The launcher in use: the platform's unless a test installed another.
ProgramLauncher& Launcher();
/// Installs `launcher` (not owned); nullptr restores the platform's.
void SetLauncher(ProgramLauncher* launcher);

/// The platform's implementation.
ProgramLauncher& PlatformLauncher();

/// Whether the program that started this one through StartProgram (the
/// earlier generation of a self-upgrade) has ended. Every started program
/// is handed a reference to its starter (an inherited pidfd or process
/// handle, and the process id) in the environment variable
/// kStartedByVariable. False while the starter runs, and when no program
/// handed this one such a reference, so that a "-waitfor" given by hand
/// waits its full time.
bool StartingProgramEnded();

/// "PID:HANDLE": the starter's process id and the inherited pidfd or handle
/// (-1 when there is none).
inline constexpr const char* kStartedByVariable = "KANADE_STARTED_BY";
/// The two numbers of a kStartedByVariable value; false when malformed.
bool ParseStartedBy(std::string_view text, long long* pid, long long* handle);
/// The running program's own file opened for reading, and its size; null
/// when it cannot be opened (platform's).
std::FILE* OpenRunningProgram(std::uint64_t* size);

/// The running program opened for reading when it holds the body of
/// `digest` (and `size`, when known): the build the program's own
/// repository lists is then copied from it instead of downloaded again.
/// Its digest is taken once per process, and only for a body of its size.
std::FILE* RunningProgramBody(std::string_view digest, std::optional<std::uint64_t> size);

/// The copy of CopyFileOver, shared by the platforms: read through a handle
/// that nobody can write (on Windows: nor delete) while it is held, hashed as
/// it is copied. `mode` sets the new file's permission bits (POSIX).
ProgramOutcome CopyVerifiedProgram(std::string_view from, std::string_view to,
                                   std::string_view expected_digest, unsigned mode);

}  // namespace kanade
