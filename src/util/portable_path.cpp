#include "util/portable_path.h"

#include <array>

#include "util/text.h"

namespace kanade {

namespace {

bool IsSeparator(char c) {
  return c == '/' || c == '\\';
}

// Windows opens these as devices whatever follows the first dot, and drops
// trailing spaces before looking.
bool IsDeviceName(std::string_view segment) {
  std::string_view base = segment.substr(0, segment.find('.'));
  while (!base.empty() && base.back() == ' ') base.remove_suffix(1);
  const std::string upper = ToUpperAscii(base);
  static constexpr std::array<std::string_view, 6> kDevices = {"CON", "PRN",    "AUX",
                                                               "NUL", "CONIN$", "CONOUT$"};
  for (const std::string_view device : kDevices) {
    if (upper == device) return true;
  }
  // COM1-9 and LPT1-9, and the superscript digits Windows also counts.
  for (const std::string_view port : {"COM", "LPT"}) {
    if (!StartsWith(upper, port)) continue;
    const std::string_view digit = std::string_view(upper).substr(3);
    if (digit.size() == 1 && digit[0] >= '1' && digit[0] <= '9') return true;
    if (digit == "\xC2\xB9" || digit == "\xC2\xB2" || digit == "\xC2\xB3") return true;
  }
  return false;
}

}  // namespace

bool IsPortableSegment(std::string_view segment) {
  if (segment.empty() || segment == "." || segment == "..") return false;
  if (segment.back() == '.' || segment.back() == ' ') return false;
  for (const char ch : segment) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F) return false;
    if (std::string_view("<>:\"|?*\\/").find(ch) != std::string_view::npos) return false;
  }
  return !IsDeviceName(segment);
}

bool SplitPortablePath(std::string_view relative, std::vector<std::string>* segments) {
  if (relative.empty() || IsSeparator(relative.front())) return false;
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= relative.size()) {
    std::size_t end = start;
    while (end < relative.size() && !IsSeparator(relative[end])) ++end;
    const std::string_view segment = relative.substr(start, end - start);
    // A drive letter ("C:") fails here too, on its ":".
    if (!IsPortableSegment(segment)) return false;
    parts.emplace_back(segment);
    start = end + 1;
  }
  if (segments != nullptr) *segments = std::move(parts);
  return true;
}

}  // namespace kanade
