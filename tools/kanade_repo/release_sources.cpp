#include "release_sources.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <system_error>

#include "folder_walk.h"
#include "interruption.h"
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

// Every pair of entries (files and folders, by path) that Windows would
// take for one, as names that differ only in case: the first spelling, then
// the other. What lies below a clashing folder is not named again.
std::vector<std::pair<std::string, std::string>> CaseCollisions(std::vector<std::string> paths) {
  std::sort(paths.begin(), paths.end());
  std::vector<std::pair<std::string, std::string>> collisions;
  std::map<std::string, std::string> seen;  // folded path -> as written
  std::set<std::string> clashing;
  for (const std::string& path : paths) {
    bool below_clash = false;
    for (std::size_t slash = path.find('/'); slash != std::string::npos && !below_clash;
         slash = path.find('/', slash + 1)) {
      below_clash = clashing.count(path.substr(0, slash)) > 0;
    }
    if (below_clash) continue;
    const auto [it, added] = seen.emplace(ToLowerAscii(path), path);
    if (!added) {
      collisions.emplace_back(it->second, path);
      clashing.insert(path);
    }
  }
  return collisions;
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
                                                           std::vector<std::string>* problems,
                                                           std::string_view skip) {
  std::error_code ec;
  const fs::path root = FsPath(folder);
  if (!fs::is_directory(fs::status(root, ec)) || ec) {
    problems->push_back(std::string(folder) + ": no such folder");
    return std::nullopt;
  }
  // Every name is looked at before any file is read, so that one run names
  // every problem of the tree.
  const std::size_t problems_before = problems->size();
  std::vector<SourceFile> files;
  std::vector<std::string> folders;  // relative paths
  const bool skipping = !skip.empty() && fs::exists(FsPath(skip), ec);
  const auto visit = [&](const TreeEntry& entry) {
    const std::string shown = Utf8Path(entry.Full);
    std::string problem;
    std::error_code same_error;
    if (skipping && entry.Kind == fs::file_type::regular &&
        fs::equivalent(entry.Full, FsPath(skip), same_error)) {
      return false;
    }
    if (entry.KindError) {
      problem = "cannot read it";
    } else if (entry.Kind == fs::file_type::symlink) {
      problem = "is a symbolic link; put the file itself there";
    } else if (entry.Kind != fs::file_type::directory && entry.Kind != fs::file_type::regular) {
      problem = "is neither a file nor a folder";
    } else if (const std::string refused = NameProblem(entry.Relative); !refused.empty()) {
      problem = "the patcher refuses this name: " + refused;
    }
    if (!problem.empty()) {
      problems->push_back(shown + ": " + problem);
      return false;
    }
    if (entry.Kind == fs::file_type::directory) {
      folders.push_back(entry.Relative);
      return true;
    }
    files.push_back({entry.Relative, shown, {}, 0});
    return false;
  };
  // A folder left out would silently drop its modules from the release.
  WalkFolderTree(root, visit, [&](const fs::path& reading, const std::error_code& error) {
    problems->push_back("cannot read folder " + Utf8Path(reading) + ": " + error.message());
  });
  std::sort(problems->begin() + static_cast<std::ptrdiff_t>(problems_before), problems->end());
  std::sort(files.begin(), files.end(),
            [](const SourceFile& a, const SourceFile& b) { return a.Path < b.Path; });
  for (const SourceFile& file : files) folders.push_back(file.Path);
  for (const auto& [first, other] : CaseCollisions(std::move(folders))) {
    problems->push_back(Utf8Path(root / FsPath(other)) + ": differs from " + first +
                        " only in case, which is one file on Windows");
  }
  if (problems->size() > problems_before) return std::nullopt;
  for (SourceFile& file : files) {
    if (Interrupted()) return std::nullopt;
    PublishError error;
    auto described = DescribeFile(FsPath(file.File), std::move(file.Path), &error);
    if (!described) {
      problems->push_back(error.Text.Line());
      return std::nullopt;
    }
    file = std::move(*described);
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
