#include "util/path.h"

#include <cstdio>
#include <system_error>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <windows.h>

#include "util/utf.h"
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "util/contained_folder.h"

namespace kanade {

namespace {

bool IsSeparator(char c) {
  return c == '\\' || c == '/';
}

}  // namespace

std::FILE* OpenFile(std::string_view path, const char* mode) {
#ifdef _WIN32
  return _wfopen(Widen(path).c_str(), Widen(mode).c_str());
#else
  return std::fopen(std::string(path).c_str(), mode);
#endif
}

bool TruncateFile(std::FILE* file) {
  if (std::fflush(file) != 0) return false;
#ifdef _WIN32
  if (_chsize_s(_fileno(file), 0) != 0) return false;
#else
  if (::ftruncate(::fileno(file), 0) != 0) return false;
#endif
  std::rewind(file);
  return true;
}

std::filesystem::path FsPath(std::string_view utf8) {
#ifdef _WIN32
  return std::filesystem::path(Widen(utf8));
#else
  return std::filesystem::path(std::string(utf8));
#endif
}

std::string Utf8Path(const std::filesystem::path& path) {
#ifdef _WIN32
  return Narrow(path.native());
#else
  return path.native();
#endif
}

bool IsFile(std::string_view path) {
  if (path.empty()) return false;
  std::error_code ec;
  const auto status = std::filesystem::status(FsPath(path), ec);
  return !ec && std::filesystem::exists(status) && !std::filesystem::is_directory(status);
}

std::string StripTrailingSeparators(std::string_view path) {
  std::size_t end = path.size();
  while (end > 0 && IsSeparator(path[end - 1])) --end;
  if (end == 0 && !path.empty()) return std::string(path.substr(0, 1));
  return std::string(path.substr(0, end));
}

bool IsDirectory(std::string_view path) {
  if (path.empty()) return false;
  std::string stripped = StripTrailingSeparators(path);
#ifdef _WIN32
  // "C:" alone means the drive's current folder; ask about its root instead.
  if (stripped.size() == 2 && stripped[1] == ':') stripped += '\\';
#endif
  std::error_code ec;
  return std::filesystem::is_directory(FsPath(stripped), ec);
}

bool EnsureDirectoryTree(std::string_view path, std::string_view base) {
  const std::string dir = StripTrailingSeparators(path);
  const std::string stop = StripTrailingSeparators(base);
  if (IsDirectory(dir)) return true;
  if (dir == stop) return false;
  const auto last = dir.find_last_of("\\/");
  const std::string parent = last == std::string::npos ? std::string() : dir.substr(0, last + 1);
  if (parent == dir || parent.empty()) return false;
  if (!EnsureDirectoryTree(parent, base)) return false;
  std::error_code ec;
  return std::filesystem::create_directory(FsPath(dir), ec) && !ec;
}

bool IsReadOnlyFile(std::string_view path) {
  if (path.empty()) return false;
#ifdef _WIN32
  const DWORD attributes = GetFileAttributesW(Widen(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY) &&
         (attributes & FILE_ATTRIBUTE_READONLY);
#else
  struct stat info {};
  if (::stat(std::string(path).c_str(), &info) != 0 || S_ISDIR(info.st_mode)) return false;
  return (info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
#endif
}

std::optional<std::string> ReadFileBytes(std::string_view path) {
  if (!IsFile(path)) return std::nullopt;
  const UniqueFile file(OpenFile(path, "rb"));
  if (!file) return std::nullopt;
  return ReadStream(file.get());
}

std::optional<std::uint64_t> StreamSize(std::FILE* file) {
#ifdef _WIN32
  const bool at_end = ::_fseeki64(file, 0, SEEK_END) == 0;
  const long long size = at_end ? ::_ftelli64(file) : -1;
#else
  const bool at_end = ::fseeko(file, 0, SEEK_END) == 0;
  const long long size = at_end ? static_cast<long long>(::ftello(file)) : -1;
#endif
  std::rewind(file);
  if (size < 0) return std::nullopt;
  return static_cast<std::uint64_t>(size);
}

std::optional<std::string> ReadStream(std::FILE* file, std::size_t limit, bool* too_large) {
  std::string bytes;
  char buffer[65536];
  while (true) {
    const std::size_t got = std::fread(buffer, 1, sizeof buffer, file);
    if (got > limit - bytes.size()) {
      if (too_large != nullptr) *too_large = true;
      return std::nullopt;
    }
    bytes.append(buffer, got);
    if (got < sizeof buffer) break;
  }
  if (std::ferror(file) != 0) return std::nullopt;
  return bytes;
}

std::string TemporaryPathBeside(std::string_view path) {
  const std::string suffix = RandomHex(8);
  if (suffix.empty()) return {};
  return std::string(path) + std::string(kTemporaryMarker) + suffix;
}

std::FILE* CreateNewFile(std::string_view path) {
#ifdef _WIN32
  int fd = -1;
  if (_wsopen_s(&fd, Widen(path).c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _SH_DENYRW,
                _S_IREAD | _S_IWRITE) != 0) {
    return nullptr;
  }
  std::FILE* file = _fdopen(fd, "wb");
#else
  const int fd =
      ::open(std::string(path).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  std::FILE* file = ::fdopen(fd, "wb");
#endif
  if (file == nullptr) {
#ifdef _WIN32
    _close(fd);
#else
    ::close(fd);
#endif
    RemoveFile(path);
  }
  return file;
}

bool ReplaceFileWith(std::string_view from, std::string_view to) {
#ifdef _WIN32
  return MoveFileExW(Widen(from).c_str(), Widen(to).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
#else
  return std::rename(std::string(from).c_str(), std::string(to).c_str()) == 0;
#endif
}

bool WriteFileAtomically(std::string_view path, std::string_view bytes) {
  // A rename would put a file in the place of a device, a pipe or a socket
  // (as root, /dev/zero itself).
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::file_type type = fs::symlink_status(FsPath(path), ec).type();
  if (type != fs::file_type::not_found && type != fs::file_type::regular &&
      type != fs::file_type::symlink) {
    return false;
  }
  const std::string temp = TemporaryPathBeside(path);
  std::FILE* file = CreateNewFile(temp);
  if (file == nullptr) return false;
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  ok = std::fflush(file) == 0 && ok;
#ifdef _WIN32
  ok = _commit(_fileno(file)) == 0 && ok;
#else
  ok = ::fsync(fileno(file)) == 0 && ok;
#endif
  ok = std::fclose(file) == 0 && ok;
  if (ok) ok = ReplaceFileWith(temp, path);
  if (!ok) RemoveFile(temp);
  return ok;
}

bool RemoveFile(std::string_view path) {
  namespace fs = std::filesystem;
  const fs::path target = FsPath(path);
  std::error_code ec;
  // A folder is no file: it stays, and is not reported gone.
  if (fs::is_directory(fs::symlink_status(target, ec))) return false;
  fs::remove(target, ec);
  return !fs::exists(fs::symlink_status(target, ec));
}

}  // namespace kanade
