#include <memory>
#include <string_view>

#include "app/startup.h"
#include "net/proxy_script.h"
#ifdef _WIN32
#include "ui/win32_toolkit.h"
#else
#include "ui/fltk_toolkit.h"
#endif

int main(int argc, char** argv) {
#ifdef _WIN32
  // Started by itself to run a PAC script in a process that may be ended.
  if (argc == 2 && std::string_view(argv[1]) == kanade::kProxyScriptArgument) {
    return kanade::RunProxyScript();
  }
#endif
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
