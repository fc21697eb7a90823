// Handing over to a newly downloaded build in two process generations.
#pragma once

#include <string>

namespace kanade {

/// The installed program and the downloaded new build, in ProgramFolder.
std::string ProgramExe();
std::string UpgradeExe();

/// The digest that the verified local copy of the program's own repository
/// lists for the program; empty when there is none.
std::string ListedProgramDigest();

/// Starts the downloaded build with "-waitfor 10 -upgrade" and ends this
/// process, or returns with nothing changed.
void PrepareUpgrade();

/// Copies the downloaded build over the installed program, starts it and ends
/// this process, or returns with nothing changed.
void PerformUpgrade();

}  // namespace kanade
