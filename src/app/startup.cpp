#include "app/startup.h"

#include <cstdlib>

#include "app/command_line.h"
#include "app/patcher_state.h"
#include "ui/console.h"
#include "ui/log_file.h"

namespace kanade {

int RunProgram(int argc, char** argv) {
  ProgramFolder = CurrentFolderWithSeparator();
  CreateConsole();
  LoadProgramParameters(argc, argv);
  ParseCommandLine();
  WriteLogLine("===== Program Started =====");
  ResetConsole();
  DownloadPrefix.clear();
  // The main window and the event loop are not built yet: end here.
  Shutdown();
}

void Shutdown() {
  std::exit(0);
}

}  // namespace kanade
