#include "util/system_error.h"

#include <cerrno>
#include <cstring>

#ifdef _WIN32
#include <windows.h>

#include "util/utf.h"
#endif

namespace kanade {

std::string LastSystemError() {
#ifdef _WIN32
  const DWORD code = GetLastError();
  if (code != 0) {
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string message = length > 0 ? Narrow(std::wstring(text, length)) : std::string();
    if (text != nullptr) LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' ' || message.back() == '.')) {
      message.pop_back();
    }
    return message + " (error " + std::to_string(code) + ")";
  }
#endif
  const int number = errno;
  return std::string(std::strerror(number)) + " (errno " + std::to_string(number) + ")";
}

}  // namespace kanade
