// Small text helpers shared by every module. All text is UTF-8 in memory.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kanade {

inline constexpr std::string_view Tab = "\t";
inline constexpr std::string_view Cr = "\r";
inline constexpr std::string_view Lf = "\n";
inline constexpr std::string_view CrLf = "\r\n";

/// The part of `text` before the first `separator`; all of `text` when it is
/// absent or either argument is empty.
std::string TextBefore(std::string_view text, std::string_view separator);

/// The part of `text` after the first `separator`; empty when it is absent or
/// either argument is empty.
std::string TextAfter(std::string_view text, std::string_view separator);

/// `a` when `flag` is non-zero, else `b`.
template <typename T>
T Choose(long long flag, T a, T b) {
  return flag != 0 ? a : b;
}

/// The whole number at the start of `text`: optional blanks and sign, then
/// "$" hexadecimal, "%" binary or decimal digits. No digits give 0. Values
/// beyond the 64-bit range saturate.
std::int64_t ParseInteger(std::string_view text);

/// Length of UTF-8 `text` in UTF-16 code units (what a Windows text counts).
/// A byte that is not valid UTF-8 counts as one unit.
std::size_t Utf16Length(std::string_view text);

/// The first `head` and last `tail` UTF-16 units joined by "…" when the text is
/// longer than head + tail units; never cuts a character in two.
std::string ShortenMiddle(std::string_view text, int head, int tail);

// ASCII-only case conversion: other bytes pass through unchanged.
std::string ToLowerAscii(std::string_view text);
std::string ToUpperAscii(std::string_view text);

/// Removes space characters (U+0020 only) at both ends.
std::string TrimSpaces(std::string_view text);
std::string TrimTrailingSpaces(std::string_view text);

/// Replaces every occurrence of `from` (non-empty) by `to`, left to right,
/// without rescanning replaced text.
std::string ReplaceAll(std::string_view text, std::string_view from, std::string_view to);

/// Splits text into lines ending at CR, LF or CR LF (one line end). A final
/// line without line end is kept; text ending in a line end adds no empty line.
std::vector<std::string> SplitLines(std::string_view text);

bool StartsWith(std::string_view text, std::string_view prefix);
bool EndsWith(std::string_view text, std::string_view suffix);
bool EqualsIgnoreCaseAscii(std::string_view a, std::string_view b);

/// True when every character is one of "0123456789abcdef" (also for "").
bool IsLowerHex(std::string_view text);

}  // namespace kanade
