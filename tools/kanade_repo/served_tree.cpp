#include "served_tree.h"

#include <filesystem>
#include <system_error>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "gzip_file.h"
#include "interruption.h"
#include "net/http_client.h"
#include "release_plan.h"
#include "repos/repository_format.h"
#include "repos/repository_trust.h"
#include "repos/sha256.h"
#include "tool_support.h"
#include "util/path.h"
#include "util/portable_path.h"
#include "util/text.h"

namespace kanade {

namespace {

namespace fs = std::filesystem;

bool Fail(PublishError* error, std::string text) {
  if (error != nullptr) *error = {std::move(text), true};
  return false;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::string> PercentDecode(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    const int high = HexValue(text[i + 1]);
    const int low = HexValue(text[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return out;
}

// Opens the regular file `path` for reading, not through a link in its last
// step unless `follow`; its size in `size`.
UniqueFile OpenRegularFile(const std::string& path, std::uint64_t* size, bool follow = false) {
#ifdef _WIN32
  std::error_code ec;
  const fs::file_status status =
      follow ? fs::status(FsPath(path), ec) : fs::symlink_status(FsPath(path), ec);
  if (status.type() != fs::file_type::regular) return nullptr;
  UniqueFile file(OpenFile(path, "rb"));
  *size = fs::file_size(FsPath(path), ec);
  return ec ? nullptr : std::move(file);
#else
  // Non-blocking, so that a FIFO planted there cannot hold the open.
  const int fd =
      ::open(path.c_str(), O_RDONLY | (follow ? 0 : O_NOFOLLOW) | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return nullptr;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return nullptr;
  }
  *size = static_cast<std::uint64_t>(info.st_size);
  UniqueFile file(::fdopen(fd, "rb"));
  if (!file) ::close(fd);
  return file;
#endif
}

// Whether every folder between `www` and the file `relative` is a folder,
// not a link.
bool ReachedWithoutLinks(const fs::path& www, const std::string& relative) {
  fs::path at = www;
  std::vector<std::string> segments;
  if (!SplitPortablePath(relative, &segments)) return false;
  segments.pop_back();
  for (const std::string& segment : segments) {
    at /= FsPath(segment);
    std::error_code ec;
    if (fs::symlink_status(at, ec).type() != fs::file_type::directory) return false;
  }
  return true;
}

}  // namespace

std::string BodyPathOf(std::string_view digest) {
  return "files/" + std::string(digest.substr(0, 2)) + "/" + std::string(digest);
}

std::string ModuleLineOf(const SourceFile& file, std::string_view base_url) {
  return "module=" + file.Path + "\t" + std::string(base_url) + "/" + BodyPathOf(file.Digest) +
         "\t" + file.Digest + "\t" + std::to_string(file.Size) + "\n";
}

std::vector<ServedModule> ServedModulesOf(std::string_view text) {
  std::vector<ServedModule> modules;
  for (const std::string& raw : SplitLines(text)) {
    const auto entry = ParseModuleLine(SplitRepositoryLine(raw));
    if (!entry) continue;
    modules.push_back({ReplaceAll(entry->RelativePath, PathSeparator, "/"), entry->Url,
                       entry->Sha256, entry->Size});
  }
  return modules;
}

std::optional<std::map<std::string, std::string>> ReadServedRepositories(std::string_view www,
                                                                         PublishError* error) {
  std::map<std::string, std::string> found;
  const fs::path folder = FsPath(www) / "repos";
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(folder, ec))) return found;
  for (auto it = fs::directory_iterator(folder, ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    const std::string name = Utf8Path(it->path().filename());
    if (!EndsWith(name, ".repo")) continue;
    const std::string path = Utf8Path(it->path());
    std::error_code kind_error;
    if (it->symlink_status(kind_error).type() != fs::file_type::regular) {
      Fail(error, path + ": is not a regular file (a link or a folder)");
      return std::nullopt;
    }
    auto text = ReadFileBytes(path);
    if (!text) {
      Fail(error, path + ": cannot read the file");
      return std::nullopt;
    }
    found[name.substr(0, name.size() - 5)] = std::move(*text);
  }
  if (ec) {
    Fail(error, "cannot read folder " + Utf8Path(folder) + ": " + ec.message());
    return std::nullopt;
  }
  return found;
}

std::optional<std::string> ServedPathOfUrl(std::string_view url, std::string_view base_url) {
  const std::string prefix = std::string(base_url) + "/files/";
  if (!StartsWith(url, prefix)) return std::nullopt;
  const auto decoded = PercentDecode(url.substr(prefix.size() - 6));
  // "/" only: a "\" would be another folder to the check below.
  if (!decoded || decoded->find('\\') != std::string::npos || !SplitPortablePath(*decoded)) {
    return std::nullopt;
  }
  return decoded;
}

std::string ServedRepositoryProblem(std::string_view text, std::string_view name,
                                    const std::vector<PublicKey>& keys, bool legacy_allowed) {
  const RepositoryCheck check = CheckRepositoryText(text, keys);
  switch (check.Trust) {
    case RepositoryTrust::kSigned:
      if (check.Name == name) return {};
      return "it is signed as NAME " + check.Name + ", not " + std::string(name);
    case RepositoryTrust::kLegacy:
      if (legacy_allowed) return {};
      return "it carries no publisher signature, only the SIGN line";
    case RepositoryTrust::kRefused:
      break;
  }
  const SignatureBlock block = FindSignatureBlock(text);
  if (block.Entries.empty()) return "its SIGN line does not match its contents";
  std::string signers;
  for (const SignatureLineEntry& entry : block.Entries) {
    for (const PublicKey& key : keys) {
      if (KeyIdOf(key) == entry.KeyId) {
        return "it is signed by key " + entry.KeyId +
               ", which players trust, but no longer matches its contents (or its NAME or "
               "SERIAL is malformed)";
      }
    }
    signers += (signers.empty() ? "" : ", ") + entry.KeyId;
  }
  std::string trusted;
  for (const PublicKey& key : keys) trusted += (trusted.empty() ? "" : ", ") + KeyIdOf(key);
  return "it is signed by key " + signers + ", which players do not trust (they trust " + trusted +
         ")";
}

std::optional<std::string> ReadSmallFile(const std::string& path) {
  std::uint64_t size = 0;
  UniqueFile file = OpenRegularFile(path, &size, true);
  bool too_large = false;
  auto bytes = file ? ReadStream(file.get(), kMaxRepositoryBytes, &too_large) : std::nullopt;
  if (too_large) return std::nullopt;
  return bytes;
}

std::optional<std::string> ReadBaseUrlRecord(std::string_view www) {
  const auto text = ReadSmallFile(Utf8Path(FsPath(www) / kBaseUrlRecordName));
  if (!text) return std::nullopt;
  std::optional<std::string> url;
  for (const std::string& line : SplitLines(*text)) {
    if (!line.empty() && line[0] != '#') url = line;
  }
  return url;
}

std::string BodyProblem(const std::string& path, std::string_view digest,
                        std::optional<std::uint64_t> size) {
  std::uint64_t actual_size = 0;
  {
    UniqueFile file = OpenRegularFile(path, &actual_size);
    if (!file) return "missing, unreadable or no regular file";
    if (size && actual_size != *size) {
      return "holds " + std::to_string(actual_size) + " bytes, not " + std::to_string(*size);
    }
    if (Sha256OfStream(file.get()) != digest) return "does not match its digest";
  }
  const std::string gz = path + ".gz";
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(FsPath(gz), ec))) return {};
  std::uint64_t gz_size = 0;
  UniqueFile file = OpenRegularFile(gz, &gz_size);
  const auto decoded = file ? DecodeGzipStream(file.get(), actual_size) : std::nullopt;
  if (!decoded) return "has a .gz copy that is no whole gzip file";
  if (decoded->Digest != digest || decoded->Size != actual_size) {
    return "has a .gz copy that decodes to other bytes";
  }
  return {};
}

std::string RepositoryCopyPathOf(std::string_view www, std::string_view name) {
  return Utf8Path(FsPath(www) / "repos" / FsPath(std::string(name) + ".repo.gz"));
}

std::string GzipCopyProblem(const std::string& gz_path, std::string_view text,
                            std::string_view plain_name) {
  std::uint64_t size = 0;
  UniqueFile file = OpenRegularFile(gz_path, &size);
  if (!file) return "missing, unreadable or no regular file";
  std::string start;
  const auto decoded = DecodeGzipStream(file.get(), text.size(), &start);
  if (!decoded) return "no whole gzip file";
  if (decoded->Size == text.size() && decoded->Digest == Sha256OfText(text)) return {};
  std::string problem = "decodes to other bytes than " + std::string(plain_name);
  // The SERIAL stands near the top, within what was decoded.
  const auto copy_serial = SerialLineOf(start);
  const auto plain_serial = SerialLineOf(text);
  if (copy_serial && plain_serial && *copy_serial != *plain_serial) {
    problem += " (SERIAL " + std::to_string(*copy_serial) + ", where " + std::string(plain_name) +
               " holds SERIAL " + std::to_string(*plain_serial) + ")";
  }
  return problem;
}

std::optional<std::string> DecodedGzipFile(const std::string& path) {
  std::uint64_t size = 0;
  UniqueFile file = OpenRegularFile(path, &size);
  std::string bytes;
  const auto decoded =
      file ? DecodeGzipStream(file.get(), kMaxRepositoryBytes, &bytes) : std::nullopt;
  if (!decoded || decoded->Size > kMaxRepositoryBytes) return std::nullopt;
  return bytes;
}

std::string RepositoryCopyProblem(std::string_view www, std::string_view name,
                                  std::string_view text) {
  return GzipCopyProblem(RepositoryCopyPathOf(www, name), text, std::string(name) + ".repo");
}

bool CheckRepositoryCopies(std::string_view www,
                           const std::map<std::string, std::string>& repositories,
                           PublishError* error) {
  for (const auto& [name, text] : repositories) {
    const std::string problem = RepositoryCopyProblem(www, name, text);
    if (!problem.empty()) return Fail(error, RepositoryCopyPathOf(www, name) + ": " + problem);
  }
  return true;
}

bool CheckServedTree(std::string_view www, std::string_view base_url,
                     const std::map<std::string, std::string>& repositories,
                     const std::vector<PublicKey>& keys, const std::set<std::string>& trusted,
                     PublishError* error) {
  const fs::path root = FsPath(www);
  std::set<std::pair<std::string, std::string>> checked;  // path, digest
  for (const auto& [name, text] : repositories) {
    const std::string repository = Utf8Path(root / "repos" / FsPath(name + ".repo"));
    if (const std::string problem = ServedRepositoryProblem(text, name, keys, false);
        !problem.empty()) {
      return Fail(error, repository + ": " + problem);
    }
    for (const ServedModule& module : ServedModulesOf(text)) {
      const auto relative = ServedPathOfUrl(module.Url, base_url);
      if (!relative) {
        return Fail(error, repository + ": module " + module.Path + ": URL " + module.Url +
                               " is not a file below " + std::string(base_url) + "/files/");
      }
      if (trusted.count(*relative) > 0 || !checked.emplace(*relative, module.Digest).second) {
        continue;
      }
      if (Interrupted()) return Fail(error, "interrupted");
      const std::string body = Utf8Path(root / FsPath(*relative));
      std::string problem = ReachedWithoutLinks(root, *relative)
                                ? BodyProblem(body, module.Digest, module.Size)
                                : "lies behind a link or a file";
      if (!problem.empty()) {
        return Fail(error,
                    body + ": " + problem + " (module " + module.Path + " of " + name + ".repo)");
      }
    }
  }
  return true;
}

}  // namespace kanade
