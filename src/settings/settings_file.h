// The settings file kanade.ini: five settings as key=value lines.
#pragma once

#include <string>

namespace kanade {

/// ProgramFolder + PathSeparator + "kanade.ini".
std::string SettingsFilePath();

/// Reads the settings into PatcherState. A stored game-location override is
/// validated at once, so a valid one replaces the detected game folder. The
/// Lua flag is always 0 afterwards. A missing or unreadable file, a link or a
/// special file changes nothing else.
void LoadSettings();

/// Writes the eight-line settings file (UTF-8, CR LF after every line) by
/// replacing the old file in one step; where that cannot be done, the
/// existing file is cut to nothing and rewritten in place. A read-only file,
/// a link, a hard link or a special file is never touched. Failures are not
/// reported.
void SaveSettings();

}  // namespace kanade
