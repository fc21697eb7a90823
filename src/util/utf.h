// Conversions between the UTF-8 text used in memory and the UTF-16 text of
// Win32 calls. Invalid input becomes U+FFFD rather than being dropped.
#pragma once

#include <string>
#include <string_view>

namespace kanade {

std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);

#ifdef _WIN32
std::wstring Widen(std::string_view text);
std::string Narrow(std::wstring_view text);
#endif

}  // namespace kanade
