#include "util/platform_arguments.h"

#ifdef _WIN32
#include <windows.h>

#include <shellapi.h>  // after windows.h, which it needs

#include "util/utf.h"
#endif

namespace kanade {

std::vector<std::string> PlatformArguments(int argc, char** argv) {
  std::vector<std::string> arguments;
#ifdef _WIN32
  (void)argc;
  (void)argv;
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide != nullptr) {
    for (int i = 1; i < count; ++i) arguments.push_back(Narrow(wide[i]));
    LocalFree(wide);
  }
#else
  for (int i = 1; i < argc; ++i) arguments.emplace_back(argv[i]);
#endif
  return arguments;
}

}  // namespace kanade
