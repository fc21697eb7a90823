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

/// Reads the parameters from the platform: argv on POSIX, the UTF-16 command
/// line on Windows.
void LoadProgramParameters(int argc, char** argv);

/// Sets the command-line fields of PatcherState and LogLinePrefix.
void ParseCommandLine();

}  // namespace kanade
