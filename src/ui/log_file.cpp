#include "ui/log_file.h"

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
  // Others may write the program folder: a log that is a link, a hard link
  // or anything but a plain file gets no line, as one that cannot be opened.
  const auto folder = ContainedFolder::Open(StripTrailingSeparators(ProgramFolder), {}, false);
  if (folder) folder->AppendTo(kLogName, line);
}

}  // namespace kanade
