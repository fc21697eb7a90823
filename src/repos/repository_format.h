// Repository files: signed lists of modules (relative path, URL, digest).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kanade {

struct RepositoryLine {
  std::string Key;    // text before the first "=", comment removed, not trimmed
  std::string Value;  // text after the first "=", not trimmed
};

struct ModuleEntry {
  std::string RelativePath;           // "/" replaced by PathSeparator; not normalised
  std::string Url;                    // begins with "http"
  std::string Sha256;                 // lower case, spaces stripped; may be empty
  std::optional<std::uint64_t> Size;  // the body's size in bytes, when a fourth field gives it
};

/// True when the file exists, can be read, has a SIGN line and its
/// signature matches the file's digest with the SIGN value replaced by 0.
bool VerifyRepositoryFile(std::string_view path);

/// The same check on a file's bytes already in memory.
bool VerifyRepositoryText(std::string_view text);

/// When the SIGN check holds for `text`: the text as the check hashes it,
/// with every SIGN line's key=value replaced by key=0. Nothing otherwise.
std::optional<std::string> SignCheckedText(std::string_view text);

/// One line (without its line end) split as the line reader splits it.
RepositoryLine SplitRepositoryLine(std::string_view raw);

/// The lines of the file in order (line ends CR, LF or CR LF; ";" starts a
/// comment); nothing when the file cannot be opened or read.
std::optional<std::vector<RepositoryLine>> ReadRepositoryLines(std::string_view path);

/// Hands the lines of the file to `consume` one at a time while the file is
/// open, holding only the current line in memory; stops early when `consume`
/// returns false. False when the file cannot be opened or a read fails.
bool ForEachRepositoryLine(std::string_view path,
                           const std::function<bool(const RepositoryLine&)>& consume);

/// The module entry of a usable "module" line, or nothing.
std::optional<ModuleEntry> ParseModuleLine(const RepositoryLine& line);

/// A line that the signature check reads as a SIGN line, as byte offsets into
/// the file's text. The check splits at LF only, removes trailing CRs, and
/// stops at the first empty line.
struct SignatureLine {
  std::size_t Start = 0;       // first byte of the line (and of its key)
  std::size_t KeyEnd = 0;      // end of the key; the "=" follows when HasEquals
  bool HasEquals = false;      // false: the whole line is the key, the value empty
  std::size_t ValueStart = 0;  // first byte after the "="
  std::size_t ValueEnd = 0;    // end of the value without its trailing spaces
  std::size_t End = 0;         // end of the line without its trailing CRs
};

/// Visits the SIGN lines in file order until `visit` returns false. Returns
/// the offset where the scan stopped: the start of the first empty line, or
/// the text's size.
std::size_t ScanSignatureLines(std::string_view text,
                               const std::function<bool(const SignatureLine&)>& visit);

}  // namespace kanade
