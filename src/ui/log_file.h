// kanade.log: a plain transcript of the console, appended across runs.
#pragma once

#include <string>
#include <string_view>

namespace kanade {

/// The log's path: kanade.log in ProgramFolder.
std::string LogFilePath();

/// Appends LogLinePrefix + text + CR LF in one write. The log stays open for
/// the lines that follow within a second, shared so that other processes may
/// read, write and delete it meanwhile. A log that is a link, a hard link or
/// a special file gets no line. Failures are silent.
void WriteLogLine(std::string_view text);

/// Closes the log and its folder until the next line: the program waits for
/// the player, who may move or rename the folder meanwhile.
void CloseLogFile();

}  // namespace kanade
