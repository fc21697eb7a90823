#include "repos/module_engine.h"

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "repos/http_client.h"
#include "repos/sha256.h"
#include "state/patcher_state.h"
#include "ui/console.h"
#include "ui/responsiveness.h"
#include "util/contained_folder.h"
#include "util/path.h"
#include "util/portable_path.h"

namespace kanade {

namespace {

LocalBodySource local_body_source = nullptr;

// How far the look-ahead may run past the line on the console, so that
// hashing current files far ahead never holds the console up for long.
constexpr std::size_t kMaxLookAheadLines = 256;

class ModuleLine {
 public:
  ModuleLine(std::string_view head, const std::string& path) : text_(std::string(head) + path) {
    index_ = AddConsoleLine(text_, kWhite);
  }
  void Show(std::string_view text) const { SetConsoleLineText(text, index_); }
  void Append(std::string_view word) const { Show(text_ + std::string(word)); }
  bool Succeed() const {
    Append(" 成功");
    SetConsoleLineColour(kGreen, index_);
    return true;
  }
  bool Fail(std::string_view word) const {
    Append(word);
    SetConsoleLineColour(kRed, index_);
    return false;
  }

 private:
  std::string text_;
  int index_ = 0;
};

// The body goes to its temporary file and through the digest as it arrives.
class BodySink : public DownloadSink {
 public:
  explicit BodySink(NewFile& file) : file_(file) {}
  bool Write(const char* data, std::size_t size) override {
    if (!file_.Write(data, size)) {
      write_failed_ = true;
      return false;
    }
    hasher_.Update(data, size);
    return true;
  }
  // Read only after the transfer has ended.
  bool WriteFailed() const { return write_failed_; }
  std::string Digest() { return hasher_.Finish(); }

 private:
  NewFile& file_;
  Sha256Hasher hasher_;
  bool write_failed_ = false;
};

enum class Plan {
  kSkip,     // no module line: nothing, silently
  kRefused,  // a path that must not be touched
  kAct,      // install or remove
};

struct Module {
  Plan plan = Plan::kSkip;
  ModuleEntry entry;
  std::string full_path;             // as the console shows it
  std::vector<std::string> folders;  // below the target folder
  std::string name;
};

// A download under way, from its start (possibly well before its turn on
// the console) until its file is in place or thrown away.
struct Download {
  enum class Failure { kNone, kRefused, kWrite, kStart };
  Failure failure = Failure::kNone;
  std::optional<ContainedFolder> folder;
  std::optional<NewFile> file;
  std::unique_ptr<BodySink> sink;
  std::optional<DownloadHandle> handle;
  std::optional<std::uint64_t> copied;  // the size of a body copied, not downloaded

  // A transfer still running is cancelled before its sink and file go.
  ~Download() {
    if (handle) FinishDownload(*handle);
  }
};

// A body that already lies on this machine goes into the temporary file
// instead of a download; hashed as it is copied, it counts only with the
// listed digest.
bool CopyLocalBody(const Module& module, Download& download) {
  if (local_body_source == nullptr || module.entry.Sha256.empty()) return false;
  const UniqueFile source(local_body_source(module.entry.Sha256, module.entry.Size));
  if (!source) return false;
  auto copy = download.folder->CreateTemporary(module.name);
  if (!copy) return false;
  std::string digest;
  std::uint64_t size = 0;
  const auto write = [&copy](const char* data, std::size_t n) { return copy->Write(data, n); };
  if (!CopyHashing(source.get(), write, &digest, &size) || digest != module.entry.Sha256) {
    return false;
  }
  download.file = std::move(copy);
  download.copied = size;
  return true;
}

bool IsCurrentFile(const ContainedFolder& folder, const Module& module) {
  if (module.entry.Sha256.empty() || folder.KindOf(module.name) != EntryKind::kFile) return false;
  const UniqueFile file(folder.OpenForReading(module.name));
  return file && Sha256OfStream(file.get()) == module.entry.Sha256;
}

class ModuleRun {
 public:
  ModuleRun(const std::vector<RepositoryLine>& lines, std::string_view action,
            std::string_view target)
      : lines_(lines),
        target_(target),
        install_(action == kActionInstall),
        modules_(lines.size()),
        current_(lines.size(), -1),
        in_window_(lines.size(), false) {}

  bool Run() {
    bool changed = false;
    for (std::size_t i = 0; i < lines_.size(); ++i) {
      TopUp(i);
      if (Process(i)) changed = true;
      if (in_window_[i]) {
        const auto it = window_paths_.find(ModuleAt(i).full_path);
        if (it != window_paths_.end() && --it->second == 0) window_paths_.erase(it);
      }
    }
    return changed;
  }

 private:
  const Module& ModuleAt(std::size_t index) {
    if (!modules_[index]) modules_[index] = Parse(lines_[index]);
    return *modules_[index];
  }

  Module Parse(const RepositoryLine& line) const {
    Module module;
    const std::optional<ModuleEntry> entry = ParseModuleLine(line);
    if (!entry) return module;
    module.entry = *entry;
    const std::string relative = DownloadPrefix + entry->RelativePath;
    module.full_path = target_ + std::string(PathSeparator) + relative;
    std::vector<std::string> segments;
    // Refused before anything is read, written or deleted. The path alone is
    // checked too: a prefix would turn its ".." into an ordinary name.
    if (!IsContainedModulePath(entry->RelativePath) || !SplitPortablePath(relative, &segments)) {
      module.plan = Plan::kRefused;
      return module;
    }
    module.name = segments.back();
    segments.pop_back();
    module.folders = std::move(segments);
    module.plan = Plan::kAct;
    return module;
  }

  // Whether the installed file already has the listed digest; false too
  // when its folder lies behind a link (the install then refuses it).
  bool IsCurrent(std::size_t index) {
    if (current_[index] < 0) {
      const Module& module = ModuleAt(index);
      const auto folder = ContainedFolder::Open(target_, module.folders, false);
      current_[index] = folder && IsCurrentFile(*folder, module) ? 1 : 0;
    }
    return current_[index] == 1;
  }

  // Starts downloads for the lines ahead while slots are free. A line whose
  // file an earlier line still writes waits for its turn, so that it sees
  // what that line left.
  void TopUp(std::size_t index) {
    if (!install_) return;
    if (cursor_ < index) cursor_ = index;
    while (cursor_ < lines_.size() &&
           ahead_.size() < static_cast<std::size_t>(kMaxTransfersInFlight) &&
           cursor_ - index <= kMaxLookAheadLines) {
      const Module& module = ModuleAt(cursor_);
      if (module.plan == Plan::kAct) {
        if (window_paths_.count(module.full_path) > 0) break;
        ++window_paths_[module.full_path];
        in_window_[cursor_] = true;
        if (!IsCurrent(cursor_)) ahead_[cursor_] = Begin(module);
      }
      ++cursor_;
    }
  }

  std::unique_ptr<Download> Begin(const Module& module) {
    auto download = std::make_unique<Download>();
    bool crossed_link = false;
    download->folder = ContainedFolder::Open(target_, module.folders, true, &crossed_link);
    if (!download->folder) {
      download->failure = crossed_link ? Download::Failure::kRefused : Download::Failure::kWrite;
      return download;
    }
    const ContainedFolder& folder = *download->folder;
    if (cleaned_.insert(folder.Path()).second) folder.RemoveLeftoverTemporaries();
    const EntryKind kind = folder.KindOf(module.name);
    // Read-only files are refused explicitly: root ignores permission bits.
    if (kind == EntryKind::kFolder || kind == EntryKind::kOther || folder.IsReadOnly(module.name)) {
      download->failure = Download::Failure::kWrite;
      return download;
    }
    if (CopyLocalBody(module, *download)) return download;
    download->file = folder.CreateTemporary(module.name);
    if (!download->file) {
      download->failure = Download::Failure::kWrite;
      return download;
    }
    download->sink = std::make_unique<BodySink>(*download->file);
    DownloadLimits limits;
    limits.MaxBytes = module.entry.Size.value_or(kMaxModuleBytes);
    download->handle = StartDownload(module.entry.Url, limits, *download->sink);
    if (!download->handle) download->failure = Download::Failure::kStart;
    return download;
  }

  bool Process(std::size_t index) {
    const Module& module = ModuleAt(index);
    if (module.plan == Plan::kSkip) return false;
    if (module.plan == Plan::kRefused) {
      AddConsoleLine(std::string(install_ ? "- 更新: " : "- 削除: ") + module.full_path + " 拒否",
                     kRed);
      return false;
    }
    if (!install_) return Remove(module);
    if (IsCurrent(index)) return false;
    std::unique_ptr<Download> download;
    if (const auto it = ahead_.find(index); it != ahead_.end()) {
      download = std::move(it->second);
      ahead_.erase(it);
    } else {
      download = Begin(module);
    }
    return Finish(index, module, *download);
  }

  bool Finish(std::size_t index, const Module& module, Download& download) {
    const ModuleLine line("- 更新: ", module.full_path);
    switch (download.failure) {
      case Download::Failure::kRefused:
        return line.Fail(" 拒否");
      case Download::Failure::kWrite:
        return line.Fail(" 書込失敗");
      case Download::Failure::kStart:
        return line.Fail(" ダウンロード失敗");
      case Download::Failure::kNone:
        break;
    }
    if (download.copied) return Place(line, module, download, *download.copied);
    const DownloadHandle handle = *download.handle;
    DownloadProgress progress = PollDownload(handle);
    while (progress.Status == DownloadStatus::InProgress) {
      line.Show("- 更新中: " + module.full_path + " " + std::to_string(progress.BytesReceived));
      KeepResponsive();
      TopUp(index);
      // Wakes as soon as the transfer ends; small files cost no full period.
      WaitForDownload(handle, kDownloadPollMs);
      progress = PollDownload(handle);
    }
    const DownloadStatus status = FinishDownload(handle);
    download.handle.reset();
    if (download.sink->WriteFailed()) return line.Fail(" 書込失敗");
    if (status == DownloadStatus::Aborted) return line.Fail(" ダウンロード中止");
    if (status != DownloadStatus::Succeeded) return line.Fail(" ダウンロード失敗");
    if (download.sink->Digest() != module.entry.Sha256) return line.Fail(" ハッシュ不一致");
    return Place(line, module, download, progress.BytesReceived);
  }

  static bool Place(const ModuleLine& line, const Module& module, Download& download,
                    std::uint64_t size) {
    line.Append(" " + std::to_string(size));
    if (!download.file->Finish(false) ||
        !download.folder->MoveIntoPlace(*download.file, module.name)) {
      return line.Fail(" 書込失敗");
    }
    return line.Succeed();
  }

  bool Remove(const Module& module) const {
    bool crossed_link = false;
    const auto folder = ContainedFolder::Open(target_, module.folders, false, &crossed_link);
    if (!folder) {
      if (crossed_link) AddConsoleLine("- 削除: " + module.full_path + " 拒否", kRed);
      return false;
    }
    // A link at the module's place is removed itself, never what it points to.
    const EntryKind kind = folder->KindOf(module.name);
    if (kind != EntryKind::kFile && kind != EntryKind::kLink) return false;
    const ModuleLine line("- 削除: ", module.full_path);
    if (folder->IsReadOnly(module.name) || !folder->Remove(module.name)) return line.Fail(" 失敗");
    return line.Succeed();
  }

  const std::vector<RepositoryLine>& lines_;
  const std::string target_;
  const bool install_;
  std::vector<std::optional<Module>> modules_;
  std::vector<signed char> current_;  // -1 not known yet
  std::vector<bool> in_window_;       // counted in window_paths_
  std::map<std::string, int> window_paths_;
  std::map<std::size_t, std::unique_ptr<Download>> ahead_;
  std::size_t cursor_ = 0;
  std::set<std::string> cleaned_;  // folders whose leftovers went
};

}  // namespace

void SetLocalBodySource(LocalBodySource source) {
  local_body_source = source;
}

bool IsContainedModulePath(std::string_view relative) {
  return SplitPortablePath(relative);
}

bool ProcessModuleLines(const std::vector<RepositoryLine>& lines, std::string_view action,
                        std::string_view target_folder) {
  if (action != kActionInstall && action != kActionUninstall) return false;
  return ModuleRun(lines, action, target_folder).Run();
}

bool ProcessModuleLine(const RepositoryLine& line, std::string_view action,
                       std::string_view target_folder) {
  return ProcessModuleLines({line}, action, target_folder);
}

}  // namespace kanade
