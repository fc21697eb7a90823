// Programs that keep the game's files busy: the game itself while it runs
// (or a process it left behind), and whoever holds a file that could not be
// replaced.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kanade {

struct RunningProgram {
  std::uint64_t Id = 0;  // the process id
  std::string Name;      // its executable's file name
};

/// The game's processes for `game_folder`: on Windows those whose executable
/// is the game's in that folder; elsewhere the running user's processes
/// whose executable lies in it, or whose command line names the game's
/// executable there (under Wine and Proton the game is Wine's loader). A
/// working folder alone never counts, nor a copy of this program.
std::vector<RunningProgram> RunningGamePrograms(std::string_view game_folder);

/// Who holds `path`, a file below `folder` that could not be replaced or
/// removed just now, for the log: "in use by NAME (process N)" as Windows's
/// Restart Manager knows it, else "in use; running from FOLDER: NAME
/// (process N)" from the process list; empty when the failure was no
/// sharing violation or nobody is found. Leaves the system's last error as
/// it was, for the reason that follows.
std::string FileHolders(std::string_view path, std::string_view folder);

}  // namespace kanade
