#include "state/patcher_state.h"

#include <filesystem>
#include <system_error>

#include "util/path.h"

namespace kanade {

PatcherState& State() {
  static PatcherState state;
  return state;
}

void ResetProgramState() {
  State() = PatcherState{};
  ProgramFolder.clear();
  WaitLineIndex = 0;
  DownloadPrefix.clear();
  LogLinePrefix.clear();
}

std::string CurrentFolderWithSeparator() {
  std::error_code ec;
  std::string folder = Utf8Path(std::filesystem::current_path(ec));
  if (ec) folder.clear();
  if (folder.empty() || (folder.back() != '\\' && folder.back() != '/')) {
    folder += PathSeparator;
  }
  return folder;
}

}  // namespace kanade
