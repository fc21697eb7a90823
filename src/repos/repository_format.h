// Repository files: signed lists of modules (relative path, URL, digest).
#pragma once

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
  std::string RelativePath;  // "/" replaced by PathSeparator; not normalised
  std::string Url;           // begins with "http"
  std::string Sha256;        // lower case, spaces stripped; may be empty
};

/// True when the file exists, can be read, has a SIGN line and its
/// signature matches the file's digest with the SIGN value replaced by 0.
bool VerifyRepositoryFile(std::string_view path);

/// The lines of the file in order (line ends CR, LF or CR LF; ";" starts a
/// comment); nothing when the file cannot be opened.
std::optional<std::vector<RepositoryLine>> ReadRepositoryLines(std::string_view path);

/// The module entry of a usable "module" line, or nothing.
std::optional<ModuleEntry> ParseModuleLine(const RepositoryLine& line);

}  // namespace kanade
