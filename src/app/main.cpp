#include <memory>

#include "app/startup.h"
#ifdef _WIN32
#include "ui/win32_toolkit.h"
#else
#include "ui/fltk_toolkit.h"
#endif

int main(int argc, char** argv) {
  // Without a display there is no window: start-up then ends at once.
#ifdef _WIN32
  std::unique_ptr<kanade::Toolkit> toolkit = kanade::MakeWin32Toolkit();
#else
  std::unique_ptr<kanade::Toolkit> toolkit = kanade::MakeFltkToolkit();
#endif
  return kanade::RunProgram(argc, argv, toolkit.get());
}
