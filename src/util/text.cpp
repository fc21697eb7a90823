#include "util/text.h"

#include <limits>

namespace kanade {

namespace {

// Byte length of the UTF-8 sequence starting at text[i], and how many UTF-16
// units it stands for. Invalid bytes are taken one at a time.
struct Utf8Step {
  std::size_t bytes;
  std::size_t units;
};

Utf8Step NextCharacter(std::string_view text, std::size_t i) {
  const auto lead = static_cast<unsigned char>(text[i]);
  std::size_t length = 0;
  std::size_t units = 1;
  if (lead < 0x80) {
    return {1, 1};
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    units = 2;
  } else {
    return {1, 1};
  }
  if (i + length > text.size()) return {1, 1};
  for (std::size_t k = 1; k < length; ++k) {
    const auto c = static_cast<unsigned char>(text[i + k]);
    if ((c & 0xC0) != 0x80) return {1, 1};
  }
  return {length, units};
}

std::size_t Find(std::string_view text, std::string_view separator) {
  if (text.empty() || separator.empty()) return std::string_view::npos;
  return text.find(separator);
}

int DigitValue(char c, int base) {
  int v = -1;
  if (c >= '0' && c <= '9') {
    v = c - '0';
  } else if (c >= 'a' && c <= 'f') {
    v = c - 'a' + 10;
  } else if (c >= 'A' && c <= 'F') {
    v = c - 'A' + 10;
  }
  return v >= 0 && v < base ? v : -1;
}

}  // namespace

std::string TextBefore(std::string_view text, std::string_view separator) {
  const auto pos = Find(text, separator);
  return std::string(pos == std::string_view::npos ? text : text.substr(0, pos));
}

std::string TextAfter(std::string_view text, std::string_view separator) {
  const auto pos = Find(text, separator);
  if (pos == std::string_view::npos) return {};
  return std::string(text.substr(pos + separator.size()));
}

std::int64_t ParseInteger(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  int base = 10;
  if (i < text.size() && text[i] == '$') {
    base = 16;
    ++i;
  } else if (i < text.size() && text[i] == '%') {
    base = 2;
    ++i;
  }
  constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  std::uint64_t value = 0;
  bool saturated = false;
  for (; i < text.size(); ++i) {
    const int d = DigitValue(text[i], base);
    if (d < 0) break;
    if (value > (kMax - static_cast<std::uint64_t>(d)) / static_cast<std::uint64_t>(base)) {
      saturated = true;
    } else {
      value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(d);
    }
  }
  if (saturated) value = kMax;
  const auto signed_value = static_cast<std::int64_t>(value);
  return negative ? -signed_value : signed_value;
}

std::size_t Utf16Length(std::string_view text) {
  std::size_t units = 0;
  for (std::size_t i = 0; i < text.size();) {
    const auto step = NextCharacter(text, i);
    i += step.bytes;
    units += step.units;
  }
  return units;
}

std::string ShortenMiddle(std::string_view text, int head, int tail) {
  head = head < 0 ? 0 : head;
  tail = tail < 0 ? 0 : tail;
  const std::size_t total = Utf16Length(text);
  const auto limit = static_cast<std::size_t>(head) + static_cast<std::size_t>(tail);
  if (total <= limit) return std::string(text);

  // Head: whole characters while they fit in `head` units.
  std::size_t head_end = 0;
  std::size_t units = 0;
  while (head_end < text.size()) {
    const auto step = NextCharacter(text, head_end);
    if (units + step.units > static_cast<std::size_t>(head)) break;
    units += step.units;
    head_end += step.bytes;
  }
  // Tail: the characters whose units all lie in the last `tail` units.
  const std::size_t tail_first_unit = total - static_cast<std::size_t>(tail);
  std::size_t tail_start = text.size();
  units = 0;
  for (std::size_t i = 0; i < text.size();) {
    if (units >= tail_first_unit) {
      tail_start = i;
      break;
    }
    const auto step = NextCharacter(text, i);
    i += step.bytes;
    units += step.units;
  }
  if (tail_start < head_end) tail_start = head_end;
  std::string result(text.substr(0, head_end));
  result += "\xE2\x80\xA6";  // …
  result += text.substr(tail_start);
  return result;
}

std::string ToLowerAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::string ToUpperAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

std::string TrimSpaces(std::string_view text) {
  const auto first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(' ');
  return std::string(text.substr(first, last - first + 1));
}

std::string TrimTrailingSpaces(std::string_view text) {
  const auto last = text.find_last_not_of(' ');
  if (last == std::string_view::npos) return {};
  return std::string(text.substr(0, last + 1));
}

std::string ReplaceAll(std::string_view text, std::string_view from, std::string_view to) {
  if (from.empty()) return std::string(text);
  std::string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  while (true) {
    const auto hit = text.find(from, pos);
    if (hit == std::string_view::npos) break;
    out.append(text.substr(pos, hit - pos));
    out.append(to);
    pos = hit + from.size();
  }
  out.append(text.substr(pos));
  return out;
}

std::vector<std::string> SplitLines(std::string_view text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r' && text[i] != '\n') continue;
    lines.emplace_back(text.substr(start, i - start));
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    start = i + 1;
  }
  if (start < text.size()) lines.emplace_back(text.substr(start));
  return lines;
}

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

bool EndsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

bool EqualsIgnoreCaseAscii(std::string_view a, std::string_view b) {
  return a.size() == b.size() && ToLowerAscii(a) == ToLowerAscii(b);
}

bool IsLowerHex(std::string_view text) {
  return text.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

}  // namespace kanade
