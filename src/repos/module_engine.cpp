#include "repos/module_engine.h"

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "net/http_client.h"
#include "repos/download_pace.h"
#include "repos/engine_sink.h"
#include "repos/sha256.h"
#include "state/patcher_state.h"
#include "util/clock.h"
#include "util/contained_folder.h"
#include "util/path.h"
#include "util/portable_path.h"
#include "util/reason.h"
#include "util/text.h"

namespace kanade {

namespace {

LocalBodySource local_body_source = nullptr;
FileHolderLookup file_holder_lookup = nullptr;

// How far the look-ahead may run past the line on the console, so that
// hashing current files far ahead never holds the console up for long.
constexpr std::size_t kMaxLookAheadLines = 1024;
// A download stops before its file system would keep less free space than
// this share of its size, or than kMaxReserve, whichever is smaller.
constexpr std::uint64_t kReservePercent = 5;
constexpr std::uint64_t kMaxReserve = std::uint64_t{256} << 20;
// What a body whose line gives no size is taken to owe, to decide how many
// downloads the line carries and how much is still to come.
constexpr std::uint64_t kUnsizedGuess = 64 * 1024;
// How long one look at the progress may spend finding out, ahead of the
// downloads, which files are current already.
constexpr double kCheckAheadMs = 20;

ModuleOutcome Failed(ModuleFailure failure, Reason reason) {
  return {ModuleResult::kFailed, failure, std::move(reason)};
}

ModuleOutcome Refused(Reason reason) {
  return {ModuleResult::kRefused, ModuleFailure::kNone, std::move(reason)};
}

// Why a file could not be replaced or removed just now: the system's words,
// and who holds it where the system knows.
Reason InUseReason(std::string what, const std::string& path, std::string_view folder) {
  // The system's code first: the look-up makes calls of its own.
  Reason reason = SystemReason(std::move(what));
  const std::string holders = file_holder_lookup ? file_holder_lookup(path, folder) : "";
  if (!holders.empty()) reason.Then(holders);
  return reason;
}

// Whether a write of `size` bytes leaves the file system its reserve. The
// free space is asked again after kSpaceReadingMs, or sooner when the bytes
// written since the last reading would eat into the reserve by its count:
// asking for every write of every module cost each one a round trip to the
// system (under Wine, to two other processes).
class SpaceGauge {
 public:
  static constexpr double kSpaceReadingMs = 250;

  // Empty when the write leaves the reserve, else why it must not happen.
  std::string Refusal(const ContainedFolder& folder, std::size_t size) {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto [it, first] = readings_.try_emplace(folder.Path());
    Reading& reading = it->second;
    const double now = GetClock().ElapsedMs();
    if (first || now - reading.at >= kSpaceReadingMs || !Leaves(reading, size)) {
      reading = {folder.FreeSpace(), now, 0};
    }
    if (!reading.space) return {};  // unknown: the write itself will tell
    // A refusal always comes from a reading just taken.
    if (!Leaves(reading, size)) {
      return "stopped: " + std::to_string(reading.space->Free) + " bytes free in " + folder.Path() +
             ", and " + std::to_string(Reserve(reading)) + " must stay free";
    }
    reading.written += size;
    return {};
  }

 private:
  struct Reading {
    std::optional<ContainedFolder::Space> space;
    double at = 0;
    std::uint64_t written = 0;  // by this run since the reading
  };
  static std::uint64_t Reserve(const Reading& reading) {
    return std::min(reading.space->Total / 100 * kReservePercent, kMaxReserve);
  }
  static bool Leaves(const Reading& reading, std::size_t size) {
    if (!reading.space) return true;
    const std::uint64_t free =
        reading.space->Free > reading.written ? reading.space->Free - reading.written : 0;
    return free >= Reserve(reading) && free - Reserve(reading) >= size;
  }

  std::mutex mutex_;  // bodies arrive on the transfers' thread
  std::map<std::string, Reading> readings_;
};

// The body goes to its temporary file and through the digest as it arrives,
// while the file system keeps its reserve.
class BodySink : public DownloadSink {
 public:
  BodySink(const ContainedFolder& folder, NewFile& file, SpaceGauge& space)
      : folder_(folder), file_(file), space_(space) {}
  bool Write(const char* data, std::size_t size) override {
    if (!LeavesReserve(size) || !file_.Write(data, size)) {
      if (reason_.Empty()) reason_ = SystemReason("cannot write " + folder_.PathOf(file_.Name()));
      return false;
    }
    // A digest that cannot be taken must never read as one that matches.
    if (!hasher_.Update(data, size)) {
      reason_ = "the digest of " + folder_.PathOf(file_.Name()) + " could not be taken";
      return false;
    }
    return true;
  }
  bool Restart() override {
    if (!file_.Truncate()) return false;
    hasher_ = Sha256Hasher();
    reason_ = {};
    return true;
  }
  // Read only after the transfer has ended.
  bool WriteFailed() const { return !reason_.Empty(); }
  const kanade::Reason& Why() const { return reason_; }
  std::string Digest() { return hasher_.Finish(); }

 private:
  bool LeavesReserve(std::size_t size) {
    std::string refusal = space_.Refusal(folder_, size);
    if (refusal.empty()) return true;
    reason_ = std::move(refusal);
    return false;
  }

  const ContainedFolder& folder_;
  NewFile& file_;
  SpaceGauge& space_;
  Sha256Hasher hasher_;
  kanade::Reason reason_;
};

enum class Plan {
  kSkip,      // no module line: nothing, silently
  kRefused,   // a path that must not be touched
  kNoDigest,  // no digest text: nothing can be current or checked
  kAct,       // install or remove
};

struct Module {
  Plan plan = Plan::kSkip;
  ModuleEntry entry;
  std::string full_path;             // as the console shows it
  std::vector<std::string> folders;  // below the target folder
  std::string name;
  std::string key;  // ModulePathKey of the path with its prefix
};

// A download under way, from its start (possibly well before its turn on
// the console) until its file is in place or thrown away.
struct Download {
  std::optional<ModuleOutcome> failure;  // set when it could not start
  std::size_t created = 0;               // folders its start made
  std::shared_ptr<const ContainedFolder> folder;
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
// instead of a download, keeping the same reserve of free space; hashed as
// it is copied, it counts only with the listed digest. Otherwise the
// download goes ahead as ever.
bool CopyLocalBody(const Module& module, Download& download, SpaceGauge& space) {
  if (local_body_source == nullptr || module.entry.Sha256.empty()) return false;
  const UniqueFile source(local_body_source(module.entry.Sha256, module.entry.Size));
  if (!source) return false;
  auto copy = download.folder->CreateTemporary(module.name);
  if (!copy) return false;
  BodySink sink(*download.folder, *copy, space);
  std::string digest;
  std::uint64_t size = 0;
  const auto write = [&sink](const char* data, std::size_t n) { return sink.Write(data, n); };
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
  if (!file) return false;
  // Another size than the line gives settles it without reading a byte,
  // however large the file someone left there.
  if (module.entry.Size && StreamSize(file.get()) != module.entry.Size) return false;
  return Sha256OfStream(file.get()) == module.entry.Sha256;
}

enum class Action {
  kInstall,    // write what is not current
  kUninstall,  // remove what still has the listed digest, and say when a path is refused
  kWithdraw,   // the same, silent about refused paths: clearing up after a release
};

class ModuleRun {
 public:
  // `entries` holds a module entry, or nothing, per line; `recorded` paths
  // already carry their prefix.
  ModuleRun(std::vector<std::optional<ModuleEntry>> entries, Action action, std::string_view target,
            EngineSink& sink, bool recorded = false)
      : entries_(std::move(entries)),
        target_(target),
        action_(action),
        sink_(sink),
        recorded_(recorded),
        modules_(entries_.size()),
        current_(entries_.size(), -1),
        looked_ahead_(entries_.size(), false) {}

  ModuleTally Run(std::vector<std::optional<ModuleResult>>* results) {
    ModuleTally tally;
    if (results != nullptr) results->assign(entries_.size(), std::nullopt);
    for (std::size_t i = 0; i < entries_.size(); ++i) {
      TopUp(i);
      const Module& module = ModuleAt(i);
      if (const auto outcome = Process(i)) {
        tally.Add(outcome->Result);
        if (results != nullptr) (*results)[i] = outcome->Result;
      }
      if (looked_ahead_[i]) {
        const auto it = paths_ahead_.find(module.key);
        if (it != paths_ahead_.end() && --it->second == 0) paths_ahead_.erase(it);
      }
    }
    if (pace_ && pace_->Shown()) sink_.DownloadsEnded();
    return tally;
  }

  // Whether Run would write or remove a file now, by the same decisions,
  // without touching one.
  bool HasWork() {
    for (std::size_t i = 0; i < entries_.size(); ++i) {
      const Module& module = ModuleAt(i);
      if (module.plan != Plan::kAct) continue;
      if (Installing() ? !IsCurrent(i) : IsRemovable(module)) return true;
    }
    return false;
  }

 private:
  bool Installing() const { return action_ == Action::kInstall; }
  PatchAction Shown() const {
    return Installing() ? PatchAction::kInstall : PatchAction::kUninstall;
  }

  const Module& ModuleAt(std::size_t index) {
    if (!modules_[index]) modules_[index] = Parse(entries_[index]);
    return *modules_[index];
  }

  Module Parse(const std::optional<ModuleEntry>& entry) const {
    Module module;
    if (!entry) return module;
    module.entry = *entry;
    // Recorded paths are kept as written, prefix and all.
    const std::string relative = (recorded_ ? std::string() : DownloadPrefix) + entry->RelativePath;
    module.full_path = target_ + std::string(PathSeparator) + relative;
    std::vector<std::string> segments;
    // Refused before anything is read, written or deleted. The path alone is
    // checked too: a prefix would turn its ".." into an ordinary name.
    if (!IsContainedModulePath(entry->RelativePath) || !SplitPortablePath(relative, &segments)) {
      module.plan = Plan::kRefused;
      return module;
    }
    module.key = ModulePathKey(relative);
    module.name = segments.back();
    segments.pop_back();
    module.folders = std::move(segments);
    module.plan = IsDigestText(entry->Sha256) ? Plan::kAct : Plan::kNoDigest;
    return module;
  }

  // Whether the installed file already has the listed digest; false too
  // when its folder lies behind a link (the install then refuses it).
  bool IsCurrent(std::size_t index) {
    if (current_[index] < 0) {
      const Module& module = ModuleAt(index);
      const auto folder = FolderOf(module, false, nullptr, nullptr, nullptr);
      current_[index] = folder && IsCurrentFile(*folder, module) ? 1 : 0;
    }
    return current_[index] == 1;
  }

  // Starts downloads for the lines ahead while the line carries more. A
  // line that names the file of an earlier line still ahead waits for its
  // turn, so that it sees what that line left, as if lines went one at a
  // time.
  void TopUp(std::size_t index) {
    if (!Installing()) return;
    if (cursor_ < index) cursor_ = index;
    std::optional<std::uint64_t> owed;  // asked of the downloads once, when it matters
    const auto outstanding = [&] {
      if (!owed) owed = Owed();
      return *owed;
    };
    while (cursor_ < entries_.size() && cursor_ - index <= kMaxLookAheadLines) {
      const Module& module = ModuleAt(cursor_);
      if (module.plan == Plan::kAct) {
        if (paths_ahead_.count(module.key) > 0) break;
        const bool current = IsCurrent(cursor_);
        const int in_flight = static_cast<int>(ahead_.size()) + (finishing_ != nullptr ? 1 : 0);
        if (!current && !MayStartDownload(in_flight, outstanding)) break;
        ++paths_ahead_[module.key];
        looked_ahead_[cursor_] = true;
        if (!current) {
          ahead_[cursor_] = Begin(module);
          if (owed) *owed += SizeOf(module);
        }
      }
      ++cursor_;
    }
  }

  static std::uint64_t SizeOf(const Module& module) {
    return module.entry.Size.value_or(kUnsizedGuess);
  }

  // The bytes that the downloads under way still owe; `received`, when
  // given, gets what they brought so far.
  std::uint64_t Owed(std::uint64_t* received = nullptr) {
    std::uint64_t owed = 0;
    const auto add = [&](const Module& module, const Download& download) {
      if (!download.handle) return;
      const std::uint64_t size = SizeOf(module);
      const std::uint64_t arrived = PollDownload(*download.handle).BytesReceived;
      owed += size > arrived ? size - arrived : 0;
      if (received != nullptr) *received += arrived;
    };
    for (const auto& [index, download] : ahead_) add(ModuleAt(index), *download);
    if (finishing_ != nullptr) add(*finishing_module_, *finishing_);
    return owed;
  }

  // The progress of the downloads, looked at a few times a second once
  // they run: what arrived, and what is still to come, the lines not yet
  // reached counted in full unless their files are found current.
  void Pace() {
    const double now = GetClock().ElapsedMs();
    if (!pace_ || !pace_->Due(now)) return;
    CheckAhead(now);
    std::uint64_t done = finished_bytes_;
    std::uint64_t total = Owed(&done);
    for (std::size_t i = cursor_; i < entries_.size(); ++i) {
      const Module& module = ModuleAt(i);
      if (module.plan == Plan::kAct && current_[i] != 1) total += SizeOf(module);
    }
    total += done;
    if (const auto totals = pace_->Look(done, total, now)) sink_.DownloadsUnderWay(*totals);
  }

  // Finds out, for a moment, which lines past the downloads name files that
  // are current already. A line whose file an earlier line still to come
  // may change is left alone: its turn decides.
  void CheckAhead(double started) {
    checked_ = std::max(checked_, cursor_);
    while (checked_ < entries_.size() && GetClock().ElapsedMs() - started < kCheckAheadMs) {
      const Module& module = ModuleAt(checked_);
      if (module.plan == Plan::kAct && paths_ahead_.count(module.key) == 0 &&
          checked_keys_.insert(module.key).second) {
        IsCurrent(checked_);
      }
      ++checked_;
    }
  }

  // The folder of `module`, as ContainedFolder::Open gives it. Modules come
  // folder by folder, so the last one opened is kept for the next: opening
  // it again cost every module its own system calls (under Wine, round
  // trips to its server).
  std::shared_ptr<const ContainedFolder> FolderOf(const Module& module, bool create,
                                                  bool* crossed_link, std::size_t* created,
                                                  std::string* link_owner) {
    if (last_folder_ && last_folder_segments_ == module.folders) {
      if (crossed_link != nullptr) *crossed_link = false;
      if (created != nullptr) *created = 0;
      return last_folder_;
    }
    auto opened =
        ContainedFolder::Open(target_, module.folders, create, crossed_link, created, link_owner);
    if (!opened) return nullptr;
    last_folder_ = std::make_shared<const ContainedFolder>(std::move(*opened));
    last_folder_segments_ = module.folders;
    return last_folder_;
  }

  std::unique_ptr<Download> Begin(const Module& module) {
    auto download = std::make_unique<Download>();
    bool crossed_link = false;
    std::string link_owner;
    download->folder = FolderOf(module, true, &crossed_link, &download->created, &link_owner);
    if (!download->folder) {
      const std::string made_by = link_owner.empty() ? "" : ", made by " + link_owner;
      download->failure =
          crossed_link
              ? Refused("a link on the way to " + module.full_path + made_by)
              : Failed(ModuleFailure::kWrite,
                       SystemReason("cannot open or create the folder of " + module.full_path));
      return download;
    }
    const ContainedFolder& folder = *download->folder;
    if (cleaned_.insert(folder.Path()).second) folder.RemoveLeftoverTemporaries();
    const EntryKind kind = folder.KindOf(module.name);
    // Read-only files are refused explicitly: root ignores permission bits.
    if (kind == EntryKind::kFolder || kind == EntryKind::kOther) {
      download->failure = Failed(ModuleFailure::kWrite, module.full_path + " is no regular file");
      return download;
    }
    if (folder.IsReadOnly(module.name)) {
      download->failure = Failed(ModuleFailure::kWrite, module.full_path + " is read-only");
      return download;
    }
    if (CopyLocalBody(module, *download, space_)) return download;
    download->file = folder.CreateTemporary(module.name);
    if (!download->file) {
      download->failure =
          Failed(ModuleFailure::kWrite,
                 SystemReason("cannot create a temporary file in " + folder.Path()));
      return download;
    }
    download->sink = std::make_unique<BodySink>(folder, *download->file, space_);
    DownloadLimits limits;
    limits.MaxBytes = module.entry.Size.value_or(kMaxModuleBytes);
    download->handle = StartDownload(module.entry.Url, limits, *download->sink);
    if (!download->handle) {
      download->failure = Failed(ModuleFailure::kDownload,
                                 "the transfer of " + module.entry.Url + " could not start");
    } else if (!pace_) {
      pace_.emplace(GetClock().ElapsedMs());
    }
    return download;
  }

  std::optional<ModuleOutcome> Process(std::size_t index) {
    const Module& module = ModuleAt(index);
    if (module.plan == Plan::kSkip) return std::nullopt;
    if (module.plan == Plan::kRefused) {
      // Clearing up after a release or another mode: a path the engine
      // refuses was never installed, so there is nothing of ours to take.
      if (action_ == Action::kWithdraw) return std::nullopt;
      const std::string why = "the path " + module.entry.RelativePath +
                              " leaves the folder or names a device or stream";
      sink_.ModuleRefused(Shown(), module.full_path, why);
      return Refused(why);
    }
    if (module.plan == Plan::kNoDigest) {
      // Nothing can be checked against it: never downloaded, never removed.
      if (!Installing()) return std::nullopt;
      const auto events = sink_.ModuleStarted(PatchAction::kInstall, module.full_path);
      const ModuleOutcome outcome =
          Failed(ModuleFailure::kDigest, "the module line of " + module.entry.RelativePath +
                                             " gives no digest text (" + module.entry.Sha256 + ")");
      events->Ended(outcome);
      return outcome;
    }
    if (!Installing()) return Remove(module);
    if (IsCurrent(index)) return ModuleOutcome{};
    std::unique_ptr<Download> download;
    if (const auto it = ahead_.find(index); it != ahead_.end()) {
      download = std::move(it->second);
      ahead_.erase(it);
    } else {
      download = Begin(module);
    }
    const auto events = sink_.ModuleStarted(PatchAction::kInstall, module.full_path);
    const ModuleOutcome outcome = Finish(index, module, *download, *events);
    if (outcome.Result != ModuleResult::kWritten) {
      // What this module's start made goes again once it is empty; the
      // folder handles must go first (Windows holds them against removal).
      const std::size_t created = download->created;
      download.reset();
      if (created > 0) last_folder_.reset();
      RemoveEmptyFolders(module, created);
    }
    events->Ended(outcome);
    return outcome;
  }

  ModuleOutcome Finish(std::size_t index, const Module& module, Download& download,
                       ModuleEvents& events) {
    if (download.failure) return *download.failure;
    if (download.copied) return Place(module, download, events, *download.copied);
    const DownloadHandle handle = *download.handle;
    DownloadProgress progress = PollDownload(handle);
    finishing_ = &download;
    finishing_module_ = &module;
    while (progress.Status == DownloadStatus::InProgress) {
      events.Downloading(progress.BytesReceived);
      sink_.KeepAlive();
      TopUp(index);
      Pace();
      // Wakes as soon as the transfer ends; small files cost no full period.
      WaitForDownload(handle, kDownloadPollMs);
      progress = PollDownload(handle);
    }
    finishing_ = nullptr;
    finished_bytes_ += progress.BytesReceived;
    DownloadReport report;
    const DownloadStatus status = FinishDownload(handle, &report);
    download.handle.reset();
    events.Retried(report.Retries);
    if (download.sink->WriteFailed()) {
      return Failed(ModuleFailure::kWrite, download.sink->Why());
    }
    if (status == DownloadStatus::Aborted) return Failed(ModuleFailure::kAborted, report.Reason);
    if (status != DownloadStatus::Succeeded) return Failed(ModuleFailure::kDownload, report.Reason);
    const std::string digest = download.sink->Digest();
    if (digest.empty()) {
      return Failed(ModuleFailure::kDigest, "the digest of " + module.full_path + " failed");
    }
    if (digest != module.entry.Sha256) {
      const std::string digests = "digest " + digest + ", expected " +
                                  (module.entry.Sha256.empty() ? "none" : module.entry.Sha256);
      Reason why = digests;
      if (module.entry.Size && *module.entry.Size != progress.BytesReceived) {
        why = Reason("size " + std::to_string(progress.BytesReceived) + ", expected " +
                     std::to_string(*module.entry.Size))
                  .Then(digests);
      }
      if (report.HttpStatus != 0 && (report.HttpStatus < 200 || report.HttpStatus > 299)) {
        // The transfer's own words where it has some: a Retry-After, spent retries.
        Reason transfer = report.Reason.Empty()
                              ? Reason("HTTP " + std::to_string(report.HttpStatus))
                              : report.Reason;
        why = transfer.Then(why.Line());
      }
      return Failed(ModuleFailure::kDigest, why);
    }
    return Place(module, download, events, progress.BytesReceived);
  }

  ModuleOutcome Place(const Module& module, Download& download, ModuleEvents& events,
                      std::uint64_t size) const {
    events.Verified(size);
    // A new build of this program is what the upgrade copies over the
    // installed one: it goes to disk before and after its rename.
    const bool durable = !DownloadPrefix.empty();
    if (!download.file->Finish(durable) ||
        !download.folder->MoveIntoPlace(*download.file, module.name)) {
      return Failed(
          ModuleFailure::kWrite,
          InUseReason("cannot put " + module.full_path + " in place", module.full_path, target_));
    }
    if (durable) download.folder->Sync();
    return {ModuleResult::kWritten, ModuleFailure::kNone, {}};
  }

  // The last `count` folders of the module's path, deepest first, for as
  // long as they are empty; never the target folder itself.
  void RemoveEmptyFolders(const Module& module, std::size_t count) const {
    for (std::size_t depth = module.folders.size(); count > 0; --count, --depth) {
      const std::vector<std::string> parent(module.folders.begin(),
                                            module.folders.begin() + static_cast<long>(depth) - 1);
      const auto folder = ContainedFolder::Open(target_, parent, false);
      if (!folder || !folder->RemoveEmptyFolder(module.folders[depth - 1])) return;
    }
  }

  // A file goes only while it is what was put there: not a link, nor a
  // file the player changed since.
  bool IsRemovable(const Module& module) const {
    const auto folder = ContainedFolder::Open(target_, module.folders, false);
    return folder && IsCurrentFile(*folder, module);
  }

  std::optional<ModuleOutcome> Remove(const Module& module) const {
    bool crossed_link = false;
    std::string link_owner;
    auto folder =
        ContainedFolder::Open(target_, module.folders, false, &crossed_link, nullptr, &link_owner);
    if (!folder) {
      // Nothing is ever removed through someone else's link; a clearing-up
      // removal says nothing of it, as what lies there is not the release's.
      if (!crossed_link || action_ == Action::kWithdraw) return std::nullopt;
      const std::string why = "a link on the way to " + module.full_path +
                              (link_owner.empty() ? "" : ", made by " + link_owner);
      sink_.ModuleRefused(PatchAction::kUninstall, module.full_path, why);
      return Refused(why);
    }
    // A file goes only while it is what was put there: not a link, nor a
    // file the player changed since.
    if (!IsCurrentFile(*folder, module)) return std::nullopt;
    const auto events = sink_.ModuleStarted(PatchAction::kUninstall, module.full_path);
    ModuleOutcome outcome{ModuleResult::kRemoved, ModuleFailure::kNone, {}};
    if (folder->IsReadOnly(module.name)) {
      outcome = Failed(ModuleFailure::kRemove, module.full_path + " is read-only");
    } else if (!folder->Remove(module.name)) {
      outcome = Failed(ModuleFailure::kRemove,
                       InUseReason("cannot delete " + module.full_path, module.full_path, target_));
    } else if (folder->KindOf(module.name) == EntryKind::kFile) {
      // Wine deletes when the handle closes and says nothing when that
      // fails (a folder the file system keeps from changing).
      outcome =
          Failed(ModuleFailure::kRemove, module.full_path + " is still there after its deletion");
    }
    events->Ended(outcome);
    // Clearing up leaves no folder that only what went had filled; an
    // uninstall leaves the folders, as the player may keep files there.
    if (action_ == Action::kWithdraw && outcome.Result == ModuleResult::kRemoved) {
      folder.reset();  // Windows holds open folders against removal
      RemoveEmptyFolders(module, module.folders.size());
    }
    return outcome;
  }

  const std::vector<std::optional<ModuleEntry>> entries_;
  const std::string target_;
  const Action action_;
  EngineSink& sink_;
  const bool recorded_;
  std::vector<std::optional<Module>> modules_;
  std::vector<signed char> current_;  // -1 not known yet
  std::vector<bool> looked_ahead_;    // counted in paths_ahead_
  std::map<std::string, int> paths_ahead_;
  SpaceGauge space_;  // before the downloads whose bodies it weighs
  std::map<std::size_t, std::unique_ptr<Download>> ahead_;
  const Download* finishing_ = nullptr;  // the download whose line is on the console
  const Module* finishing_module_ = nullptr;
  std::size_t cursor_ = 0;
  std::optional<DownloadPace> pace_;  // from the first download on
  std::uint64_t finished_bytes_ = 0;  // what the downloads that ended brought
  std::size_t checked_ = 0;           // lines before it were looked at by CheckAhead
  std::set<std::string> checked_keys_;
  std::set<std::string> cleaned_;                       // folders whose leftovers went
  std::shared_ptr<const ContainedFolder> last_folder_;  // see FolderOf
  std::vector<std::string> last_folder_segments_;
};

// Where the engine only looks, it has nothing to tell.
class SilentSink : public EngineSink {
 public:
  void FetchStarted(std::string_view) override {}
  void FetchEnded(std::string_view, const FetchOutcome&) override {}
  void RepositoryStarted(std::string_view, PatchAction) override {}
  void RepositoryEnded(std::string_view, PatchAction, const RepositoryOutcome&) override {}
  std::unique_ptr<ModuleEvents> ModuleStarted(PatchAction, std::string_view) override {
    return nullptr;
  }
  void ModuleRefused(PatchAction, std::string_view, std::string_view) override {}
};

std::vector<std::optional<ModuleEntry>> EntriesOf(const std::vector<RepositoryLine>& lines) {
  std::vector<std::optional<ModuleEntry>> entries;
  entries.reserve(lines.size());
  for (const RepositoryLine& line : lines) entries.push_back(ParseModuleLine(line));
  return entries;
}

}  // namespace

void SetLocalBodySource(LocalBodySource source) {
  local_body_source = source;
}

void SetFileHolderLookup(FileHolderLookup lookup) {
  file_holder_lookup = lookup;
}

bool IsContainedModulePath(std::string_view relative) {
  return SplitPortablePath(relative);
}

std::string ModulePathKey(std::string_view relative) {
  std::vector<std::string> segments;
  if (!SplitPortablePath(relative, &segments)) return std::string(relative);
  std::string key;
  for (const std::string& segment : segments) {
    if (!key.empty()) key += '/';
    key += segment;
  }
#ifdef _WIN32
  key = ToLowerAscii(key);
#endif
  return key;
}

ModuleTally ProcessModuleLines(const std::vector<RepositoryLine>& lines, PatchAction action,
                               std::string_view target_folder, EngineSink& sink,
                               std::vector<std::optional<ModuleResult>>* results) {
  const Action run = action == PatchAction::kInstall ? Action::kInstall : Action::kUninstall;
  return ModuleRun(EntriesOf(lines), run, target_folder, sink).Run(results);
}

ModuleTally ProcessModuleLine(const RepositoryLine& line, PatchAction action,
                              std::string_view target_folder, EngineSink& sink) {
  return ProcessModuleLines({line}, action, target_folder, sink);
}

bool ModulesHaveWork(const std::vector<std::optional<ModuleEntry>>& entries, PatchAction action,
                     std::string_view target_folder, bool recorded) {
  const Action run = action == PatchAction::kInstall ? Action::kInstall : Action::kUninstall;
  SilentSink sink;
  return ModuleRun(entries, run, target_folder, sink, recorded).HasWork();
}

ModuleTally RemoveRecordedFiles(const std::vector<ModuleEntry>& files, bool say_refusals,
                                std::string_view target_folder, EngineSink& sink,
                                std::vector<std::optional<ModuleResult>>* results) {
  return ModuleRun({files.begin(), files.end()},
                   say_refusals ? Action::kUninstall : Action::kWithdraw, target_folder, sink, true)
      .Run(results);
}

}  // namespace kanade
