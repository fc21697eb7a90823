#include "upgrade/programs.h"

namespace kanade {

namespace {
ProgramLauncher* current_launcher = nullptr;
}

ProgramLauncher& Launcher() {
  return current_launcher != nullptr ? *current_launcher : PlatformLauncher();
}

void SetLauncher(ProgramLauncher* launcher) {
  current_launcher = launcher;
}

}  // namespace kanade
