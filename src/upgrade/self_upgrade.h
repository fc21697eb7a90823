// Handing over to a newly downloaded build in two process generations.
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "util/reason.h"

namespace kanade {

enum class UpgradeResult {
  kNone,        // no new build to hand over to
  kHandedOver,  // the new build runs, and this process is ending
  kBlocked,     // something stood in the way; this program goes on
  kUndone,      // the new build was gone or unreadable once in place: the one before is back
};

/// What a self-upgrade step came to, and why it was blocked.
struct UpgradeOutcome {
  UpgradeResult Result = UpgradeResult::kNone;
  kanade::Reason Reason;

  bool Blocked() const { return Result == UpgradeResult::kBlocked || Undone(); }
  bool Undone() const { return Result == UpgradeResult::kUndone; }
};

inline UpgradeOutcome UpgradeBlocked(Reason reason) {
  return {UpgradeResult::kBlocked, std::move(reason)};
}

/// What the upgrade says while it goes; the program's reporter words it.
class UpgradeSink {
 public:
  virtual ~UpgradeSink() = default;
  /// The downloaded build is about to start, to replace the installed one.
  virtual void UpgradeStarting(std::string_view upgrade) = 0;
  /// The downloaded build is about to be copied over the installed one.
  virtual void UpgradeReplacing(std::string_view upgrade, std::string_view program) = 0;
};

/// The installed program and the downloaded new build, in ProgramFolder.
std::string ProgramExe();
std::string UpgradeExe();

/// The digest that the verified local copy of the program's own repository
/// lists for the program; empty when there is none.
std::string ListedProgramDigest();

/// Starts the downloaded build with "-waitfor 10 -upgrade" and ends this
/// process. Otherwise nothing changed, and this process goes on: kNone when
/// there is no other build to start, kBlocked when it could not be started.
UpgradeOutcome PrepareUpgrade(UpgradeSink& sink);

/// Copies the downloaded build over the installed program, starts it and
/// ends this process. The installed program is kept beside it under a
/// set-aside name until the new one runs (the next start removes it).
/// Otherwise this process goes on: kNone when there is no downloaded build,
/// kBlocked with the reason when it could not be put in place, kUndone when
/// the new build in place could not be started (a virus scanner may have
/// removed it) and the kept program is back.
UpgradeOutcome PerformUpgrade(UpgradeSink& sink);

/// For every start, before leftovers go: when the installed program is gone
/// or cannot be opened and an upgrade kept the one before it, puts that one
/// back (kUndone). kBlocked when it could not; the kept program must then
/// stay. kNone otherwise.
UpgradeOutcome RestoreKeptProgram();

}  // namespace kanade
