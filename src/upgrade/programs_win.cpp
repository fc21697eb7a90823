#include <windows.h>

#include <string>

#include "upgrade/programs.h"
#include "util/utf.h"

namespace kanade {

namespace {

class WindowsLauncher : public ProgramLauncher {
 public:
  bool StartProgram(std::string_view program, std::string_view parameters,
                    std::string_view folder) override {
    std::wstring command = L"\"" + Widen(program) + L"\"";
    if (!parameters.empty()) command += L" " + Widen(parameters);
    const std::wstring dir = Widen(folder);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    const BOOL started =
        CreateProcessW(Widen(program).c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                       dir.empty() ? nullptr : dir.c_str(), &startup, &process);
    if (!started) return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
  }

  bool CopyFileOver(std::string_view from, std::string_view to) override {
    return CopyFileW(Widen(from).c_str(), Widen(to).c_str(), FALSE) != 0;
  }
};

}  // namespace

ProgramLauncher& PlatformLauncher() {
  static WindowsLauncher launcher;
  return launcher;
}

}  // namespace kanade
