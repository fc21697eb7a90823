#include "ui/log_file.h"

#include <optional>
#include <string>

#include "state/patcher_state.h"
#include "util/clock.h"
#include "util/contained_folder.h"
#include "util/path.h"

namespace kanade {

namespace {

constexpr std::string_view kLogName = "kanade.log";
// How long an open log serves further lines: a module writes three, and
// opening the log for each cost every line its own system calls (under
// Wine, round trips to its server). Reopened after this, a log the player
// deleted or moved meanwhile is made again.
constexpr double kReuseMs = 1000;

struct OpenLog {
  std::string folder_path;
  std::optional<ContainedFolder> folder;
  std::optional<AppendingFile> file;
  double opened_at = 0;
};

OpenLog& Log() {
  static OpenLog log;
  return log;
}

// Others may write the program folder: a log that is a link, a hard link or
// anything but a plain file gets no line, as one that cannot be opened.
bool Reopen(OpenLog& log, const std::string& root, bool fresh_folder) {
  log.file.reset();
  if (fresh_folder || !log.folder || log.folder_path != root) {
    log.folder = ContainedFolder::Open(root, {}, false);
    log.folder_path = root;
  }
  if (log.folder) log.file = log.folder->OpenToAppend(kLogName);
  log.opened_at = GetClock().ElapsedMs();
  return log.file.has_value();
}

}  // namespace

std::string LogFilePath() {
  return ProgramFolder + std::string(PathSeparator) + std::string(kLogName);
}

void WriteLogLine(std::string_view text) {
  std::string line = LogLinePrefix;
  line.append(text);
  line.append("\r\n");
  OpenLog& log = Log();
  const std::string root = StripTrailingSeparators(ProgramFolder);
  const bool stale =
      !log.file || log.folder_path != root || GetClock().ElapsedMs() - log.opened_at >= kReuseMs;
  if (stale && !Reopen(log, root, false) && !Reopen(log, root, true)) return;
  if (!log.file->Append(line) && Reopen(log, root, true)) log.file->Append(line);
}

void CloseLogFile() {
  // On Windows the open folder would keep the player from moving or
  // renaming the program folder while the window waits.
  Log().file.reset();
  Log().folder.reset();
}

}  // namespace kanade
