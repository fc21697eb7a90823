#include "repos/install_record.h"

#include <algorithm>
#include <charconv>

#include "repos/module_engine.h"
#include "repos/program_file.h"
#include "repos/repository_fetch.h"
#include "repos/sha256.h"
#include "util/path.h"
#include "util/system_error.h"
#include "util/text.h"

namespace kanade {

namespace {

constexpr std::string_view kHeader = "KANADE-INSTALLED 1";
constexpr std::string_view kKnownKey = "repository";
constexpr std::string_view kFileKey = "file";
// Far more than thousands of modules need; a planted endless file is not read.
constexpr std::size_t kMaxRecordBytes = std::size_t{64} << 20;

// Fields are separated by TAB; a folder's name may hold one, or a line
// break, so those (and the escape itself) are written as %XX.
std::string Escape(std::string_view field) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (const char c : field) {
    if (c == '%' || c == '\t' || c == '\n' || c == '\r') {
      text += '%';
      text += kHex[(static_cast<unsigned char>(c) >> 4) & 0xF];
      text += kHex[static_cast<unsigned char>(c) & 0xF];
    } else {
      text += c;
    }
  }
  return text;
}

std::optional<std::string> Unescape(std::string_view field) {
  std::string text;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] != '%') {
      text += field[i];
      continue;
    }
    unsigned value = 0;
    if (i + 2 >= field.size()) return std::nullopt;
    const auto [end, error] =
        std::from_chars(field.data() + i + 1, field.data() + i + 3, value, 16);
    if (error != std::errc() || end != field.data() + i + 3) return std::nullopt;
    text += static_cast<char>(value);
    i += 2;
  }
  return text;
}

template <typename Number>
std::optional<Number> ParseNumber(std::string_view text) {
  Number value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
    return std::nullopt;
  }
  return value;
}

std::vector<std::string_view> Fields(std::string_view line) {
  std::vector<std::string_view> fields;
  std::size_t start = 0;
  for (std::size_t tab = line.find('\t'); tab != std::string_view::npos;
       tab = line.find('\t', start)) {
    fields.push_back(line.substr(start, tab - start));
    start = tab + 1;
  }
  fields.push_back(line.substr(start));
  return fields;
}

std::optional<RecordedFile> ParseFile(const std::vector<std::string_view>& fields) {
  if (fields.size() != 7) return std::nullopt;
  RecordedFile file;
  const auto target = Unescape(fields[1]);
  const auto path = Unescape(fields[2]);
  // "-": a file recorded before its bytes arrived, whose size was not listed.
  const bool unsized = fields[4] == "-";
  const auto size = ParseNumber<std::uint64_t>(fields[4]);
  const auto repository = Unescape(fields[5]);
  const auto serial = ParseNumber<std::int64_t>(fields[6]);
  if (!target || !path || (!size && !unsized) || !repository || !serial ||
      !IsDigestText(fields[3])) {
    return std::nullopt;
  }
  return RecordedFile{*target, *path, std::string(fields[3]), size, *repository, *serial};
}

}  // namespace

std::string RecordKey(std::string_view target, std::string_view path) {
  std::string folder = StripTrailingSeparators(target);
#ifdef _WIN32
  folder = ToLowerAscii(folder);
#endif
  return folder + "\n" + ModulePathKey(path);
}

InstallRecord InstallRecord::Load(std::string* problem) {
  bool crossed_link = false;
  const auto folder = OpenReposFolder(false, &crossed_link);
  if (!folder) {
    if (crossed_link) *problem = ReposFolder() + " is a link; the record there is not read";
    return {};
  }
  const EntryKind kind = folder->KindOf(kInstallRecordName);
  if (kind == EntryKind::kMissing) return {};
  const std::string path = folder->PathOf(kInstallRecordName);
  bool too_large = false;
  std::string foreign;
  const auto text =
      kind == EntryKind::kFile
          ? ReadProgramFile(*folder, kInstallRecordName, kMaxRecordBytes, &foreign, &too_large)
          : std::nullopt;
  if (!text) {
    *problem =
        (foreign.empty() ? path + (too_large ? " is too large" : " is no plain file") : foreign) +
        "; the record is begun anew";
    return {};
  }
  auto record = Parse(*text);
  if (!record) {
    *problem = path + " is no record of this program; begun anew";
    return {};
  }
  return std::move(*record);
}

bool InstallRecord::Save(std::string* problem) const {
  const auto folder = OpenReposFolder(true);
  const std::string text = Text();
  auto file = folder ? folder->CreateTemporary(kInstallRecordName) : std::nullopt;
  if (!file || !file->Write(text.data(), text.size()) || !file->Finish(true) ||
      !folder->MoveIntoPlace(*file, kInstallRecordName)) {
    *problem = "cannot write " + ReposFolder() + std::string(PathSeparator) +
               std::string(kInstallRecordName) + ": " + LastSystemError();
    return false;
  }
  return true;
}

std::string InstallRecord::Text() const {
  std::string text(kHeader);
  text += '\n';
  for (const std::string& name : known_) {
    text += std::string(kKnownKey) + '\t' + Escape(name) + '\n';
  }
  for (const RecordedFile* kept : InOrder()) {
    const RecordedFile& file = *kept;
    text += std::string(kFileKey) + '\t' + Escape(file.Target) + '\t' + Escape(file.Path) + '\t' +
            file.Sha256 + '\t' + (file.Size ? std::to_string(*file.Size) : "-") + '\t' +
            Escape(file.Repository) + '\t' + std::to_string(file.Serial) + '\n';
  }
  return text;
}

std::optional<InstallRecord> InstallRecord::Parse(std::string_view text) {
  const std::vector<std::string> lines = SplitLines(text);
  if (lines.empty() || lines.front() != kHeader) return std::nullopt;
  InstallRecord record;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    if (lines[i].empty()) continue;
    const std::vector<std::string_view> fields = Fields(lines[i]);
    if (fields[0] == kKnownKey && fields.size() == 2) {
      const auto name = Unescape(fields[1]);
      if (!name) return std::nullopt;
      record.known_.insert(*name);
    } else if (fields[0] == kFileKey) {
      auto file = ParseFile(fields);
      if (!file) return std::nullopt;
      record.Put(std::move(*file));
    } else {
      return std::nullopt;
    }
  }
  return record;
}

std::vector<const RecordedFile*> InstallRecord::InOrder() const {
  std::vector<const Kept*> kept;
  for (const auto& [key, entry] : files_) kept.push_back(&entry);
  std::sort(kept.begin(), kept.end(),
            [](const Kept* a, const Kept* b) { return a->order < b->order; });
  std::vector<const RecordedFile*> files;
  for (const Kept* entry : kept) files.push_back(&entry->file);
  return files;
}

const RecordedFile* InstallRecord::Find(std::string_view target, std::string_view path) const {
  const auto it = files_.find(RecordKey(target, path));
  return it == files_.end() ? nullptr : &it->second.file;
}

void InstallRecord::Put(RecordedFile file) {
  file.Target = StripTrailingSeparators(file.Target);
  const auto [it, added] = files_.try_emplace(RecordKey(file.Target, file.Path));
  if (added) it->second.order = next_order_++;
  it->second.file = std::move(file);
}

void InstallRecord::Forget(std::string_view target, std::string_view path) {
  files_.erase(RecordKey(target, path));
}

std::vector<RecordedFile> InstallRecord::FilesOf(std::string_view repository,
                                                 std::string_view target) const {
  const std::string folder = RecordKey(target, "");
  std::vector<RecordedFile> found;
  for (const RecordedFile* file : InOrder()) {
    if (file->Repository == repository && RecordKey(file->Target, "") == folder) {
      found.push_back(*file);
    }
  }
  return found;
}

bool InstallRecord::Knows(std::string_view repository) const {
  return known_.count(std::string(repository)) > 0;
}

void InstallRecord::AddKnown(std::string_view repository) {
  known_.insert(std::string(repository));
}

}  // namespace kanade
