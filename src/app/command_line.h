// Command-line options: "-nopatch", "-uninstall", "-waitfor N", "-upgrade".
#pragma once

#include <string>
#include <vector>

namespace kanade {

/// The program's parameters without the program name, as the platform
/// delivers them with enclosing double quotes removed (UTF-8).
const std::vector<std::string>& ProgramParameters();

/// Replaces the parameters (start-up passes argv; tests pass their own).
void SetProgramParameters(std::vector<std::string> parameters);

/// Takes the program's parameters from the platform, enclosing quotes removed.
void LoadProgramParameters(int argc, char** argv);

/// Sets the command-line fields of PatcherState and LogLinePrefix.
void ParseCommandLine();

}  // namespace kanade
