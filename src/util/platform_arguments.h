// The command line as the platform delivers it, for the program and the tools.
#pragma once

#include <string>
#include <vector>

namespace kanade {

/// The parameters after the program name as UTF-8: argv on POSIX; on
/// Windows the UTF-16 command line, since argv there is in the ANSI code page.
std::vector<std::string> PlatformArguments(int argc, char** argv);

}  // namespace kanade
