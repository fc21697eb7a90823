#include "repos/repository_apply.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "repos/engine_sink.h"
#include "repos/install_record.h"
#include "repos/module_engine.h"
#include "repos/publisher_keys.h"
#include "repos/repository_fetch.h"
#include "repos/repository_format.h"
#include "repos/repository_server.h"
#include "repos/repository_trust.h"
#include "repos/sha256.h"
#include "state/patcher_state.h"
#include "util/path.h"
#include "util/text.h"

namespace kanade {

namespace {

// Per repository applied in this run, the RecordKey of every file its copy
// lists: clearing up never takes what another repository installs.
std::map<std::string, std::set<std::string>>& AppliedPaths() {
  static std::map<std::string, std::set<std::string>> paths;
  return paths;
}

bool AppliedByAny(const std::string& key) {
  for (const auto& [name, keys] : AppliedPaths()) {
    if (keys.count(key) > 0) return true;
  }
  return false;
}

struct Listing {
  std::vector<RepositoryLine> lines;
  std::vector<std::optional<ModuleEntry>> entries;  // per line
  std::int64_t serial = 0;
};

Listing ListingOf(std::string_view text, const RepositoryCheck& check) {
  Listing listing;
  for (const std::string& raw : SplitLines(text)) {
    listing.lines.push_back(SplitRepositoryLine(raw));
    listing.entries.push_back(ParseModuleLine(listing.lines.back()));
  }
  listing.serial = check.Serial;
  return listing;
}

ModuleEntry EntryOf(const RecordedFile& file) {
  return ModuleEntry{file.Path, {}, file.Sha256, file.Size};
}

// The copies of a repository that decide what is ours: the verified one this
// run carries out, and the one that lay in repos/ before this run fetched.
struct Copies {
  std::optional<Listing> verified;
  std::optional<Listing> earlier;
  bool earlier_signed = false;  // signed by a trusted key under its own name
};

// One repository carried out against the record of installed files.
class RecordedRun {
 public:
  RecordedRun(std::string_view repository, std::string target, const Copies& copies,
              RepositoryOutcome& outcome, EngineSink& sink)
      : repository_(repository),
        target_(std::move(target)),
        copies_(copies),
        outcome_(outcome),
        sink_(sink) {
    Reason problem;
    record_ = InstallRecord::Load(&problem);
    Note(problem);
  }

  // The listed files: what is written is recorded before its first byte, so
  // that a run killed half-way still knows it; what was there already is
  // the player's or the game's, unless the record names its place or an
  // earlier install left it (TakenOver).
  void Install() {
    const Listing& listing = *copies_.verified;
    const std::map<std::string, std::string> taken = TakenOver();
    std::vector<bool> announced(listing.entries.size(), false);
    for (std::size_t i = 0; i < listing.entries.size(); ++i) {
      const auto& entry = listing.entries[i];
      if (!entry || !IsDigestText(entry->Sha256) || !IsContainedModulePath(entry->RelativePath)) {
        continue;
      }
      if (record_.Find(target_, Written(*entry)) != nullptr) continue;
      record_.Put(RecordOf(*entry, listing.serial, entry->Size));
      announced[i] = true;
    }
    if (std::count(announced.begin(), announced.end(), true) > 0) Save();

    std::vector<std::optional<ModuleResult>> results;
    outcome_.Modules =
        ProcessModuleLines(listing.lines, PatchAction::kInstall, target_, sink_, &results);
    std::set<std::string>& listed = AppliedPaths()[repository_];
    listed.clear();
    std::set<std::string> listed_paths;
    for (std::size_t i = 0; i < listing.entries.size(); ++i) {
      const auto& entry = listing.entries[i];
      if (!entry) continue;
      const std::string path = Written(*entry);
      listed.insert(RecordKey(target_, path));
      listed_paths.insert(ModulePathKey(path));
      const auto result = results[i];
      const auto it = taken.find(ModulePathKey(path));
      const bool taken_over = it != taken.end() && it->second == entry->Sha256;
      const bool ours = result == ModuleResult::kWritten ||
                        (result == ModuleResult::kCurrent && (taken_over || !announced[i]));
      if (ours) {
        record_.Put(RecordOf(*entry, listing.serial, SizeOf(*entry, path)));
      } else if (announced[i]) {
        record_.Forget(target_, path);
      }
    }
    // What the earlier install left and this release withdrew is ours too,
    // and the clearing up that follows removes it while it holds those bytes.
    for (const auto& [path, file] : TakenOverFiles(taken)) {
      if (listed_paths.count(path) == 0) record_.Put(file);
    }
    record_.AddKnown(repository_, target_);
  }

  // An uninstall removes what the record names for this repository here,
  // and what an earlier install left (TakenOver). Without a verified copy and
  // without having carried one out here, what is ours cannot be told: the
  // outcome says so.
  void Uninstall() {
    std::vector<RecordedFile> adopted;
    for (auto& [path, file] : TakenOverFiles(TakenOver())) {
      if (record_.Find(target_, file.Path) == nullptr) adopted.push_back(std::move(file));
    }
    if (!copies_.verified && !record_.Knows(repository_, target_)) {
      outcome_.OwnFilesUnknown = true;
      outcome_.Reason = "which files the translation installed in " + target_ +
                        " cannot be told: no verified copy of " + repository_ +
                        " and no record of carrying one out there";
    }
    if (copies_.verified) record_.AddKnown(repository_, target_);
    outcome_.Modules = Remove(record_.FilesOf(repository_, target_), true);
    // Taken over only where the listed bytes still lie, so a path that was
    // never installed (behind a link, say) gives no line.
    outcome_.Modules.Add(Remove(adopted, false));
  }

  // What the record names for `repository` here and `listed` (RecordKeys)
  // does not: a release withdrew it, or it is another mode's.
  void ClearUp(std::string_view repository, const std::set<std::string>& listed) {
    std::vector<RecordedFile> left;
    for (RecordedFile& file : record_.FilesOf(repository, target_)) {
      const std::string key = RecordKey(target_, file.Path);
      if (listed.count(key) == 0 && !AppliedByAny(key)) left.push_back(std::move(file));
    }
    outcome_.Cleanup.Add(Remove(left, false));
  }

  void Save() {
    Reason problem;
    record_.Save(&problem);
    Note(problem);
  }

 private:
  std::string Written(const ModuleEntry& entry) const {
    return DownloadPrefix + entry.RelativePath;
  }

  RecordedFile RecordOf(const ModuleEntry& entry, std::int64_t serial,
                        std::optional<std::uint64_t> size) const {
    return RecordedFile{target_, Written(entry), entry.Sha256, size, repository_, serial};
  }

  // By ModulePathKey, the digest of each file that an earlier install left
  // here and that is taken over while this repository is not yet known in
  // this folder. Only a list signed by the publisher decides, and only the
  // chosen repository's own:
  // - the copy that lay in repos/ before this run (an earlier build, or the
  //   original program, installed from it) lists it with those bytes, and
  //   so does a signed copy: an unsigned one, which anybody could have put
  //   there, counts only where the verified copy agrees with it;
  // - the game folder moved: the record names the place for this
  //   repository in another folder, and the verified copy lists the bytes.
  // A new player's game file that happens to hold a module's bytes is
  // neither, and stays the game's.
  std::map<std::string, std::string> TakenOver() const {
    std::map<std::string, std::string> taken;
    if (record_.Knows(repository_, target_)) return taken;
    std::map<std::string, std::string> verified;
    if (copies_.verified) {
      for (const auto& entry : copies_.verified->entries) {
        if (entry && IsDigestText(entry->Sha256)) {
          verified[ModulePathKey(Written(*entry))] = entry->Sha256;
        }
      }
    }
    if (copies_.earlier) {
      for (const auto& entry : copies_.earlier->entries) {
        if (!entry || !IsDigestText(entry->Sha256) || !IsContainedModulePath(entry->RelativePath)) {
          continue;
        }
        const std::string key = ModulePathKey(Written(*entry));
        const auto listed = verified.find(key);
        if (copies_.earlier_signed ||
            (listed != verified.end() && listed->second == entry->Sha256)) {
          taken[key] = entry->Sha256;
        }
      }
    }
    for (const std::string& key : record_.PathsElsewhere(repository_, target_)) {
      if (const auto listed = verified.find(key); listed != verified.end()) {
        taken.try_emplace(key, listed->second);
      }
    }
    return taken;
  }

  // The entries behind `taken`, as the record would name them, by
  // ModulePathKey: with the earlier copy's size and SERIAL, or the verified
  // copy's where it lists the same bytes.
  std::map<std::string, RecordedFile> TakenOverFiles(
      const std::map<std::string, std::string>& taken) const {
    std::map<std::string, RecordedFile> files;
    for (const auto* copy : {&copies_.earlier, &copies_.verified}) {
      if (!*copy) continue;
      for (const auto& entry : (*copy)->entries) {
        if (!entry || !IsContainedModulePath(entry->RelativePath)) continue;
        const std::string path = Written(*entry);
        const auto it = taken.find(ModulePathKey(path));
        if (it != taken.end() && it->second == entry->Sha256) {
          files.insert_or_assign(it->first, RecordOf(*entry, (*copy)->serial, entry->Size));
        }
      }
    }
    return files;
  }

  std::optional<std::uint64_t> SizeOf(const ModuleEntry& entry, const std::string& path) const {
    if (entry.Size) return entry.Size;
    std::error_code error;
    const auto size =
        std::filesystem::file_size(FsPath(target_ + std::string(PathSeparator) + path), error);
    return error ? std::nullopt : std::optional<std::uint64_t>(size);
  }

  // Removes `files` while they hold their recorded bytes; what is gone, or
  // was changed by the player, leaves the record; what could not be
  // removed stays in it for the next run.
  ModuleTally Remove(const std::vector<RecordedFile>& files, bool say_refusals) {
    std::vector<ModuleEntry> entries;
    for (const RecordedFile& file : files) entries.push_back(EntryOf(file));
    std::vector<std::optional<ModuleResult>> results;
    const ModuleTally tally = RemoveRecordedFiles(entries, say_refusals, target_, sink_, &results);
    for (std::size_t i = 0; i < files.size(); ++i) {
      if (results[i] == ModuleResult::kFailed || results[i] == ModuleResult::kRefused) {
        record_.Put(files[i]);
      } else {
        record_.Forget(target_, files[i].Path);
      }
    }
    return tally;
  }

  void Note(const Reason& problem) {
    if (!problem.Empty()) outcome_.Notes.push_back(problem);
  }

  const std::string repository_;
  const std::string target_;
  const Copies& copies_;
  RepositoryOutcome& outcome_;
  EngineSink& sink_;
  InstallRecord record_;
};

RepositoryOutcome RunWithSummary(std::string_view repository_name, std::string_view target_folder,
                                 PatchAction action, EngineSink& sink,
                                 std::span<const std::string> replaced) {
  sink.RepositoryStarted(repository_name, action);
  const RepositoryOutcome outcome =
      ProcessRepository(repository_name, target_folder, action, sink, replaced);
  sink.RepositoryEnded(repository_name, action, outcome);
  DownloadPrefix.clear();
  return outcome;
}

}  // namespace

RepositoryOutcome ProcessRepository(std::string_view repository_name,
                                    std::string_view target_folder, PatchAction action,
                                    EngineSink& sink, std::span<const std::string> replaced) {
  RepositoryOutcome outcome;
  const bool install = action == PatchAction::kInstall;
  const std::string target = StripTrailingSeparators(target_folder);
  // Only a copy signed by the publisher decides anything, and only the
  // bytes that were checked: see VerifiedCopyOf.
  const std::optional<std::string> text = VerifiedCopyOf(repository_name);
  if (!text && install) {
    outcome.Reason = "no verified copy of " + std::string(repository_name);
    return outcome;
  }
  if (target.empty() || !IsDirectory(target)) {
    outcome.Reason = "no target folder" + (target.empty() ? std::string() : " " + target);
    return outcome;
  }
  outcome.CopyUsed = text.has_value();
  Copies copies;
  if (text) copies.verified = ListingOf(*text, CheckRepositoryText(*text, CompiledPublisherKeys()));
  if (const auto earlier = EarlierCopyOf(repository_name)) {
    const RepositoryCheck check = CheckRepositoryText(*earlier, CompiledPublisherKeys());
    copies.earlier = ListingOf(*earlier, check);
    copies.earlier_signed = IsTrustedAs(check, PublishedNameOf(repository_name), false);
  }

  RecordedRun run(repository_name, target, copies, outcome, sink);
  std::set<std::string> listed;
  if (install) {
    run.Install();
    listed = AppliedPaths()[std::string(repository_name)];
    run.ClearUp(repository_name, listed);
  } else {
    run.Uninstall();
  }
  // What the other modes left here goes; a file this one lists and just
  // installed or found current has become this one's already.
  for (const std::string& other : replaced) run.ClearUp(other, listed);
  run.Save();
  return outcome;
}

RepositoryOutcome ApplyRepository(std::string_view repository_name, std::string_view target_folder,
                                  EngineSink& sink, std::span<const std::string> replaced) {
  return RunWithSummary(repository_name, target_folder, PatchAction::kInstall, sink, replaced);
}

RepositoryOutcome UninstallRepository(std::string_view repository_name,
                                      std::string_view target_folder, EngineSink& sink,
                                      std::span<const std::string> replaced) {
  return RunWithSummary(repository_name, target_folder, PatchAction::kUninstall, sink, replaced);
}

void ForgetAppliedPaths() {
  AppliedPaths().clear();
  ForgetVerifiedCopies();
}

}  // namespace kanade
