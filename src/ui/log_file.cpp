#include "ui/log_file.h"

#include <optional>
#include <string>

#include "state/patcher_state.h"
#include "util/contained_folder.h"
#include "util/path.h"

namespace kanade {

namespace {
constexpr std::string_view kLogName = "kanade.log";
}  // namespace

std::string LogFilePath() {
  return ProgramFolder + std::string(PathSeparator) + std::string(kLogName);
}

void WriteLogLine(std::string_view text) {
  std::string line = LogLinePrefix;
  line.append(text);
  line.append("\r\n");
  // The program folder stays open between lines (a module writes three,
  // and opening it again cost each line its own round trips); the log
  // itself is opened for every line. Others may write the program folder:
  // a log that is a link, a hard link or anything but a plain file gets no
  // line, as one that cannot be opened.
  static std::string opened_for;
  static std::optional<ContainedFolder> folder;
  const std::string root = StripTrailingSeparators(ProgramFolder);
  if (!folder || opened_for != root) {
    folder = ContainedFolder::Open(root, {}, false);
    opened_for = root;
  }
  if (folder && !folder->AppendTo(kLogName, line)) {
    // The folder may have gone since: once more, freshly opened.
    folder = ContainedFolder::Open(root, {}, false);
    if (folder) folder->AppendTo(kLogName, line);
  }
}

}  // namespace kanade
