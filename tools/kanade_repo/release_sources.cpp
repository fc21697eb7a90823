#include "release_sources.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <system_error>

#include "repos/sha256.h"
#include "util/path.h"
#include "util/portable_path.h"
#include "util/text.h"
#include "util/utf.h"

namespace kanade {

namespace {

namespace fs = std::filesystem;

bool Fail(PublishError* error, std::string text) {
  if (error != nullptr) *error = {std::move(text), false};
  return false;
}

// Why Windows (and so the patcher, on every platform) reads `segment` as
// something other than the plain name it is; empty when it does not.
std::string SegmentProblem(std::string_view segment) {
  if (IsPortableSegment(segment)) return {};
  if (segment.empty() || segment == "." || segment == "..") return "an empty, \".\" or \"..\" step";
  for (const char ch : segment) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F) return "a control character";
    if (std::string_view("<>:\"|?*\\").find(ch) != std::string_view::npos) {
      return std::string("\"") + ch + "\", which Windows does not allow in a name";
    }
  }
  if (segment.back() == '.' || segment.back() == ' ') {
    return "a name ending in \".\" or a space, which Windows drops";
  }
  return "a Windows device name (CON, NUL, COM1 ...)";
}

// Why the patcher, or a repository line, cannot carry `relative`; empty
// when it can.
std::string NameProblem(const std::string& relative) {
  if (Utf16ToUtf8(Utf8ToUtf16(relative)) != relative) return "the name is not UTF-8";
  // ";" starts a comment in a repository line; TAB, CR and LF, which end a
  // field or the line, are control characters that the patcher refuses.
  if (relative.find(';') != std::string::npos)
    return "\";\", which starts a comment in a repository line";
  // Each step on its own: a "\" in a name would be a folder to the patcher.
  std::size_t start = 0;
  while (start <= relative.size()) {
    const std::size_t end = std::min(relative.find('/', start), relative.size());
    const std::string problem =
        SegmentProblem(std::string_view(relative).substr(start, end - start));
    if (!problem.empty()) return problem;
    start = end + 1;
  }
  return SplitPortablePath(relative) ? std::string() : "a path that the patcher refuses";
}

// The first path whose file or folder Windows would confuse with another
// one's (names that differ only in case), or nothing.
std::optional<std::pair<std::string, std::string>> CaseCollision(
    const std::vector<SourceFile>& files) {
  std::map<std::string, std::string> seen;  // folded file or folder path -> as written
  for (const SourceFile& file : files) {
    std::size_t slash = 0;
    while (true) {
      slash = file.Path.find('/', slash);
      const std::string part = file.Path.substr(0, slash);
      const auto [it, added] = seen.emplace(ToLowerAscii(part), part);
      // The same folder again is fine; another spelling of it, or a file
      // where a folder is, is not.
      const bool folder = slash != std::string::npos;
      if (!added && (it->second != part || !folder)) return std::pair(it->second, part);
      if (!folder) break;
      ++slash;
    }
  }
  return std::nullopt;
}

std::optional<SourceFile> DescribeFile(const fs::path& full, std::string relative,
                                       PublishError* error) {
  SourceFile file;
  file.Path = std::move(relative);
  file.File = Utf8Path(full);
  std::error_code ec;
  file.Size = fs::file_size(full, ec);
  file.Digest = ec ? std::string() : Sha256OfFile(file.File);
  if (file.Digest.empty()) {
    Fail(error, file.File + ": cannot read the file");
    return std::nullopt;
  }
  return file;
}

std::uint32_t LittleEndian(const std::string& bytes, std::size_t at, std::size_t size) {
  std::uint32_t value = 0;
  for (std::size_t i = size; i-- > 0;) {
    value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
  }
  return value;
}

// Whether the PE headers in `head` (the file's first bytes) describe a
// program, and whether its certificate table holds a signature.
bool ReadPeHeaders(const std::string& head, std::uint64_t file_size, bool* signed_program) {
  if (head.size() < 64 || head.compare(0, 2, "MZ") != 0) return false;
  const std::size_t pe = LittleEndian(head, 0x3C, 4);
  if (pe > head.size() - 24 || head.compare(pe, 4, std::string("PE\0\0", 4)) != 0) return false;
  const std::size_t optional = pe + 24;
  if (optional + 2 > head.size()) return false;
  const std::uint32_t magic = LittleEndian(head, optional, 2);
  std::size_t directories = 0;
  if (magic == 0x10B) {
    directories = optional + 96;
  } else if (magic == 0x20B) {
    directories = optional + 112;
  } else {
    return false;
  }
  const std::size_t security = directories + 4 * 8;  // IMAGE_DIRECTORY_ENTRY_SECURITY
  *signed_program = false;
  if (security + 8 <= head.size()) {
    const std::uint64_t offset = LittleEndian(head, security, 4);
    const std::uint64_t size = LittleEndian(head, security + 4, 4);
    *signed_program = offset != 0 && size >= 8 && offset + size <= file_size;
  }
  return true;
}

}  // namespace

std::optional<std::vector<SourceFile>> ReadTranslationTree(std::string_view folder,
                                                           PublishError* error) {
  std::error_code ec;
  const fs::path root = FsPath(folder);
  const auto root_status = fs::status(root, ec);
  if (ec || !fs::is_directory(root_status)) {
    Fail(error, std::string(folder) + ": no such folder");
    return std::nullopt;
  }
  std::vector<SourceFile> files;
  fs::path reading = root;  // the folder that the next step opens
  auto it = fs::recursive_directory_iterator(root, ec);
  for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    const fs::path& full = it->path();
    std::string relative = Utf8Path(full.lexically_relative(root));
#ifdef _WIN32
    relative = ReplaceAll(relative, "\\", "/");
#endif
    const std::string shown = Utf8Path(full);
    std::error_code kind_error;
    const auto kind = it->symlink_status(kind_error).type();
    if (kind_error) {
      Fail(error, shown + ": cannot read it");
      return std::nullopt;
    }
    if (kind == fs::file_type::symlink) {
      Fail(error, shown + ": is a symbolic link; publish the file itself");
      return std::nullopt;
    }
    if (kind != fs::file_type::directory && kind != fs::file_type::regular) {
      Fail(error, shown + ": is neither a file nor a folder");
      return std::nullopt;
    }
    const std::string problem = NameProblem(relative);
    if (!problem.empty()) {
      Fail(error, shown + ": the patcher refuses this name: " + problem);
      return std::nullopt;
    }
    if (kind == fs::file_type::directory) {
      reading = full;
      continue;
    }
    auto file = DescribeFile(full, std::move(relative), error);
    if (!file) return std::nullopt;
    files.push_back(std::move(*file));
  }
  // A folder left out would silently drop its modules from the release.
  if (ec) {
    Fail(error, "cannot read folder " + Utf8Path(reading) + ": " + ec.message());
    return std::nullopt;
  }
  std::sort(files.begin(), files.end(),
            [](const SourceFile& a, const SourceFile& b) { return a.Path < b.Path; });
  if (const auto collision = CaseCollision(files)) {
    Fail(error, Utf8Path(root / FsPath(collision->second)) + ": differs from " + collision->first +
                    " only in case, which is one file on Windows");
    return std::nullopt;
  }
  return files;
}

std::optional<ProgramBuild> ReadProgramBuild(std::string_view file, ProgramKind kind,
                                             PublishError* error) {
  const std::string path(file);
  std::error_code ec;
  if (!fs::is_regular_file(FsPath(path), ec)) {
    Fail(error, path + (IsDirectory(path) ? ": is a folder" : ": no such file"));
    return std::nullopt;
  }
  const bool windows = kind == ProgramKind::kWindows;
  auto described = DescribeFile(FsPath(path), windows ? "kanade.exe" : "kanade", error);
  if (!described) return std::nullopt;

  std::string head(65536, '\0');
  UniqueFile stream(OpenFile(path, "rb"));
  head.resize(stream ? std::fread(head.data(), 1, head.size(), stream.get()) : 0);
  ProgramBuild build{std::move(*described), false};
  if (windows ? !ReadPeHeaders(head, build.File.Size, &build.Authenticode)
              : head.compare(0, 4,
                             "\x7F"
                             "ELF") != 0) {
    Fail(error, path + (windows ? ": is not a Windows program (no PE headers)"
                                : ": is not a Linux program (no ELF header)"));
    return std::nullopt;
  }
  return build;
}

}  // namespace kanade
