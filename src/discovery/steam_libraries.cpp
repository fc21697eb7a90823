#include "discovery/steam_libraries.h"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <system_error>

#include "util/path.h"
#include "util/text.h"

namespace kanade {

namespace {

constexpr std::string_view kLibraryListName = "libraryfolders.vdf";

std::string WithoutTrailing(std::string text, std::string_view separator) {
  while (!separator.empty() && EndsWith(text, separator))
    text.resize(text.size() - separator.size());
  return text;
}

// The file `name` in `folder`, its name matched without regard to case
// (Steam has spelled the library list both ways). Empty when there is none.
std::string FindFileIgnoringCase(const std::string& folder, std::string_view separator,
                                 std::string_view name) {
  const std::string exact = folder + std::string(separator) + std::string(name);
  if (IsFile(exact)) return exact;
  std::vector<std::string> matches;
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator(FsPath(folder), ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    const std::string entry = Utf8Path(it->path().filename());
    if (EqualsIgnoreCaseAscii(entry, name)) matches.push_back(entry);
  }
  if (matches.empty()) return {};
  std::sort(matches.begin(), matches.end());
  for (const std::string& match : matches) {
    const std::string path = folder + std::string(separator) + match;
    if (IsFile(path)) return path;
  }
  return {};
}

std::optional<std::vector<std::string>> ReadLines(const std::string& path) {
  const std::optional<std::string> bytes = ReadFileBytes(path);
  if (!bytes) return std::nullopt;
  return SplitLines(*bytes);
}

std::string StripQuotes(std::string text) {
  if (!text.empty() && text.front() == '"' && text.back() == '"') {
    if (text.size() == 1) return {};
    return text.substr(1, text.size() - 2);
  }
  return text;
}

// Adds path + "steamapps" when that folder exists. A path made of nothing
// would name a folder relative to wherever we run, so it never counts.
void AddLibrary(const std::string& value, std::string_view separator) {
  const std::string path = ReplaceAll(UnescapeText(value), "/", separator);
  if (TrimSpaces(path).empty() || path.find('\0') != std::string::npos) return;
  const std::string folder = path + std::string(separator) + "steamapps";
  if (IsDirectory(folder)) SteamLibraryFolders.push_back(folder);
}

bool IsNumberedKey(std::string_view key) {
  return ParseInteger(key) >= 1;
}

// Walks the library list. Flat form: "1" and the path on one line inside the
// outer block. Nested form: "1" alone, then a block whose "path" holds the
// folder; numbered keys deeper inside (the "apps" of a library) are app ids.
void ReadLibraryList(const std::vector<std::string>& lines, std::string_view separator) {
  int depth = 0;
  bool numbered_key_pending = false;
  int library_depth = -1;  // depth of the numbered block we are in, or -1
  bool library_path_seen = false;
  for (const std::string& line : lines) {
    const SteamLine split = SplitSteamLine(line);
    const std::string key = TrimSpaces(split.key);
    if (key == "{" && split.value.empty()) {
      ++depth;
      if (numbered_key_pending && library_depth < 0) {
        library_depth = depth;
        library_path_seen = false;
      }
      numbered_key_pending = false;
      continue;
    }
    if (key == "}" && split.value.empty()) {
      if (depth == library_depth) library_depth = -1;
      if (depth > 0) --depth;
      numbered_key_pending = false;
      continue;
    }
    if (key.empty() && split.value.empty()) continue;  // blank line
    numbered_key_pending = false;
    if (library_depth >= 0) {
      if (depth == library_depth && !library_path_seen && EqualsIgnoreCaseAscii(key, "path")) {
        library_path_seen = true;
        AddLibrary(split.value, separator);
      }
      continue;
    }
    if (depth > 1 || !IsNumberedKey(split.key)) continue;
    if (split.value.empty()) {
      numbered_key_pending = true;
    } else {
      AddLibrary(split.value, separator);
    }
  }
}

}  // namespace

void ResetSteamLibraries() {
  SteamLibraryFolders.clear();
  SteamPathSeparator = "/";
}

SteamLine SplitSteamLine(std::string_view line) {
  // One pass does what collapsing TAB pairs until nothing changes does.
  std::string collapsed;
  collapsed.reserve(line.size());
  for (const char c : line) {
    if (c == '\t' && !collapsed.empty() && collapsed.back() == '\t') continue;
    collapsed += c;
  }
  std::string_view text = collapsed;
  if (!text.empty() && text.front() == '\t') text.remove_prefix(1);
  if (!text.empty() && text.back() == '\t') text.remove_suffix(1);
  SteamLine split;
  split.key = StripQuotes(TextBefore(text, Tab));
  split.value = StripQuotes(TextAfter(text, Tab));
  return split;
}

std::string UnescapeText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 >= text.size()) {
      out += text[i];
      continue;
    }
    char replacement = 0;
    switch (text[i + 1]) {
      case '"':
        replacement = '"';
        break;
      case '\\':
        replacement = '\\';
        break;
      case 'a':
        replacement = '\a';
        break;
      case 'b':
        replacement = '\b';
        break;
      case 'f':
        replacement = '\f';
        break;
      case 'n':
        replacement = '\n';
        break;
      case 'r':
        replacement = '\r';
        break;
      case 't':
        replacement = '\t';
        break;
      case 'v':
        replacement = '\v';
        break;
      default:
        break;
    }
    if (replacement != 0) {
      out += replacement;
      ++i;
    } else {
      out += '\\';  // the next character is handled on its own
    }
  }
  return out;
}

void ScanSteamLibraries(std::string_view root_folder, std::string_view separator) {
  if (separator.empty()) separator = PathSeparator;
  SteamPathSeparator = std::string(separator);
  SteamLibraryFolders.clear();

  const std::string root = WithoutTrailing(ReplaceAll(root_folder, "/", separator), separator);
  if (!IsDirectory(root)) return;
  const std::string steamapps = root + std::string(separator) + "steamapps";
  if (IsDirectory(steamapps)) SteamLibraryFolders.push_back(steamapps);

  const std::string list_file = FindFileIgnoringCase(steamapps, separator, kLibraryListName);
  if (list_file.empty()) return;
  const auto lines = ReadLines(list_file);
  if (!lines) return;
  ReadLibraryList(*lines, separator);
}

std::string FindSteamAppFolder(std::string_view app_id,
                               const std::function<bool(const std::string&)>& accept) {
  if (app_id.empty()) return {};
  const std::string& sep = SteamPathSeparator;
  const std::string manifest_name = "appmanifest_" + std::string(app_id) + ".acf";
  for (const std::string& library : SteamLibraryFolders) {
    const std::string manifest = library + sep + manifest_name;
    if (!IsFile(manifest)) continue;
    const auto lines = ReadLines(manifest);
    if (!lines) continue;
    for (const std::string& line : *lines) {
      const SteamLine split = SplitSteamLine(line);
      // An empty folder name would point at "common" itself.
      if (split.value.empty() || ToLowerAscii(split.key) != "installdir") continue;
      if (split.value.find('\0') != std::string::npos) continue;
      const std::string folder = library + sep + "common" + sep + split.value;
      if (IsDirectory(folder) && (!accept || accept(folder))) return folder;
    }
  }
  return {};
}

}  // namespace kanade
