#include "repos/install_record.h"

#include <algorithm>
#include <charconv>

#include "repos/module_engine.h"
#include "repos/program_file.h"
#include "repos/record_seal.h"
#include "repos/repository_fetch.h"
#include "repos/sha256.h"
#include "util/path.h"
#include "util/reason.h"
#include "util/text.h"

namespace kanade {

namespace {

// Version 1 had no seal: anybody who could write the folder could add to it.
constexpr std::string_view kHeader = "KANADE-INSTALLED 2";
constexpr std::string_view kUnsealedHeader = "KANADE-INSTALLED 1";
constexpr std::string_view kKnownKey = "repository";
constexpr std::string_view kFileKey = "file";
constexpr std::string_view kSealKey = "seal";
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

InstallRecord InstallRecord::Load(Reason* problem) {
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
  if (StartsWith(*text, std::string(kUnsealedHeader) + "\n")) {
    *problem = path + " is an earlier build's record without a seal; begun anew";
    return {};
  }
  Reason no_key;
  const auto key = RecordSealKey(&no_key);
  if (!key) {
    *problem = no_key.Within("the record cannot be checked: ").Then(path + " is begun anew");
    return {};
  }
  auto record = Parse(*text, *key);
  if (!record) {
    *problem = path +
               " is no record that this program wrote for this player (its seal does not hold); "
               "nothing it names is removed, and it is begun anew";
    return {};
  }
  return std::move(*record);
}

bool InstallRecord::Save(Reason* problem) const {
  const std::string path =
      ReposFolder() + std::string(PathSeparator) + std::string(kInstallRecordName);
  Reason no_key;
  const auto key = RecordSealKey(&no_key);
  if (!key) {
    *problem = no_key.Within("the record cannot be sealed: ").Then(path + " is not written");
    return false;
  }
  const auto folder = OpenReposFolder(true);
  const std::string text = Text(*key);
  auto file = folder ? folder->CreateTemporary(kInstallRecordName) : std::nullopt;
  if (!file || !file->Write(text.data(), text.size()) || !file->Finish(true) ||
      !folder->MoveIntoPlace(*file, kInstallRecordName)) {
    *problem = SystemReason("cannot write " + path);
    return false;
  }
  return true;
}

std::string InstallRecord::Text(std::string_view key) const {
  std::string text(kHeader);
  text += '\n';
  for (const auto& [known, target] : known_) {
    text += std::string(kKnownKey) + '\t' + Escape(known.first) + '\t' + Escape(target) + '\n';
  }
  for (const RecordedFile* kept : InOrder()) {
    const RecordedFile& file = *kept;
    text += std::string(kFileKey) + '\t' + Escape(file.Target) + '\t' + Escape(file.Path) + '\t' +
            file.Sha256 + '\t' + (file.Size ? std::to_string(*file.Size) : "-") + '\t' +
            Escape(file.Repository) + '\t' + std::to_string(file.Serial) + '\n';
  }
  return text + std::string(kSealKey) + '\t' + SealOf(key, text) + '\n';
}

std::optional<InstallRecord> InstallRecord::Parse(std::string_view text, std::string_view key) {
  // The seal is the last line and covers every byte before it.
  const std::string seal_start = "\n" + std::string(kSealKey) + "\t";
  const std::size_t at = text.rfind(seal_start);
  if (at == std::string_view::npos) return std::nullopt;
  const std::string_view sealed = text.substr(0, at + 1);
  std::string_view seal = text.substr(at + seal_start.size());
  if (!seal.empty() && seal.back() == '\n') seal.remove_suffix(1);
  if (!SealHolds(key, sealed, seal)) return std::nullopt;
  const std::vector<std::string> lines = SplitLines(sealed);
  if (lines.empty() || lines.front() != kHeader) return std::nullopt;
  InstallRecord record;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    if (lines[i].empty()) continue;
    const std::vector<std::string_view> fields = Fields(lines[i]);
    if (fields[0] == kKnownKey && fields.size() == 3) {
      const auto name = Unescape(fields[1]);
      const auto target = Unescape(fields[2]);
      if (!name || !target) return std::nullopt;
      record.AddKnown(*name, *target);
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

std::set<std::string> InstallRecord::PathsElsewhere(std::string_view repository,
                                                    std::string_view target) const {
  const std::string folder = RecordKey(target, "");
  std::set<std::string> paths;
  for (const auto& [key, kept] : files_) {
    if (kept.file.Repository == repository && RecordKey(kept.file.Target, "") != folder) {
      paths.insert(ModulePathKey(kept.file.Path));
    }
  }
  return paths;
}

bool InstallRecord::Knows(std::string_view repository, std::string_view target) const {
  return known_.count({std::string(repository), RecordKey(target, "")}) > 0;
}

void InstallRecord::AddKnown(std::string_view repository, std::string_view target) {
  known_[{std::string(repository), RecordKey(target, "")}] = StripTrailingSeparators(target);
}

}  // namespace kanade
