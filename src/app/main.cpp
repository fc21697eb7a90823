#include <memory>

#include "app/startup.h"
#ifdef _WIN32
#include "ui/win32_toolkit.h"
#else
#include "ui/fltk_toolkit.h"
#endif

int main(int argc, char** argv) {
  std::unique_ptr<kanade::Toolkit> toolkit;
  // Without a display there is no window: start-up then ends at once.
  return kanade::RunProgram(argc, argv, [&toolkit] {
#ifdef _WIN32
    toolkit = kanade::MakeWin32Toolkit();
#else
    toolkit = kanade::MakeFltkToolkit();
#endif
    return toolkit.get();
  });
}
