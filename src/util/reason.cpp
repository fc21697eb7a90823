#include "util/reason.h"

#include <cerrno>
#include <cstring>

#ifdef _WIN32
#include <windows.h>

#include "util/utf.h"
#endif

namespace kanade {

Reason& Reason::Then(const std::string& more) {
  if (!more.empty()) After += "; " + more;
  return *this;
}

Reason Reason::Within(const std::string& context) const {
  Reason inner = *this;
  inner.What = context + inner.What;
  return inner;
}

std::string Reason::Line() const {
  std::string line = What;
  if (!Text.empty()) {
    if (!line.empty()) line += ": ";
    line += Text;
    switch (From) {
      case Source::kErrno:
        line += " (errno " + std::to_string(Code) + ")";
        break;
      case Source::kWindows:
        line += " (error " + std::to_string(Code) + ")";
        break;
      case Source::kCurl:
      case Source::kNone:
        break;
    }
  }
  return line + After;
}

Reason SystemReason(std::string what) {
  Reason reason(std::move(what));
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
    reason.From = Reason::Source::kWindows;
    reason.Code = static_cast<long>(code);
    reason.Text = message;
    return reason;
  }
#endif
  const int number = errno;
  reason.From = Reason::Source::kErrno;
  reason.Code = number;
  reason.Text = std::strerror(number);
  return reason;
}

}  // namespace kanade
