// Path and file-system helpers. Paths are UTF-8 text joined with
// PathSeparator; these functions never throw.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace kanade {

#ifdef _WIN32
inline constexpr std::string_view PathSeparator = "\\";
#else
inline constexpr std::string_view PathSeparator = "/";
#endif

/// The UTF-8 path as a filesystem path (UTF-16 on Windows).
std::filesystem::path FsPath(std::string_view utf8);
std::string Utf8Path(const std::filesystem::path& path);

/// Opens a file by its UTF-8 path (UTF-16 on Windows) with std::fopen's modes.
std::FILE* OpenFile(std::string_view path, const char* mode);

struct FileCloser {
  void operator()(std::FILE* file) const {
    if (file != nullptr) std::fclose(file);
  }
};
/// A file that closes itself.
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

/// True when `path` is not empty and names an existing file (not a folder).
bool IsFile(std::string_view path);

/// True when `path` is not empty and names an existing folder; trailing
/// separators are ignored.
bool IsDirectory(std::string_view path);

/// Removes trailing "\" and "/" but keeps a lone root ("/" stays "/").
std::string StripTrailingSeparators(std::string_view path);

/// Creates the folder `path` level by level from its nearest existing
/// ancestor; `base` only stops the climb when it is itself missing.
bool EnsureDirectoryTree(std::string_view path, std::string_view base);

/// A read-only file: the Windows attribute, or on other systems a file
/// without any write permission bit. Checked explicitly because root ignores
/// permission bits and the patcher must not overwrite such files.
bool IsReadOnlyFile(std::string_view path);

/// Reads the whole file; nothing when it cannot be opened or read.
std::optional<std::string> ReadFileBytes(std::string_view path);
/// The size of an open file, its position back at the start; nothing when
/// it cannot be told.
std::optional<std::uint64_t> StreamSize(std::FILE* file);
/// Reads the rest of an open file; nothing when reading fails, or when it
/// holds more than `limit` bytes (`too_large` then says so).
std::optional<std::string> ReadStream(std::FILE* file, std::size_t limit = SIZE_MAX,
                                      bool* too_large = nullptr);

/// A name for a temporary file in the same folder as `path` that nobody can
/// predict: `path` + ".kanade-tmp-" + 16 random hexadecimal digits; empty
/// when the system's random source fails.
std::string TemporaryPathBeside(std::string_view path);

/// Creates the file at `path` for writing only when nothing, not even a
/// link, exists there yet; null otherwise.
std::FILE* CreateNewFile(std::string_view path);

/// Empties an open file and puts its position back at the start.
bool TruncateFile(std::FILE* file);

/// Replaces `to` by `from` in one step (rename over an existing file).
bool ReplaceFileWith(std::string_view from, std::string_view to);

/// Writes `bytes` to a temporary file beside `path`, flushes it to disk and
/// renames it over `path`. On failure `path` is untouched and no temporary
/// file is left; a folder, device, pipe or socket at `path` is never
/// replaced.
bool WriteFileAtomically(std::string_view path, std::string_view bytes);

/// Deletes a file (or a link), never a folder; true when nothing is left at
/// `path` afterwards.
bool RemoveFile(std::string_view path);

}  // namespace kanade
