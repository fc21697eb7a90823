#include "upgrade/self_upgrade.h"

#include <algorithm>
#include <filesystem>
#include <functional>
#include <utility>
#include <vector>

#include "repos/publisher_keys.h"
#include "repos/repository_fetch.h"
#include "repos/repository_format.h"
#include "repos/repository_server.h"
#include "repos/repository_trust.h"
#include "repos/sha256.h"
#include "state/patcher_state.h"
#include "upgrade/programs.h"
#include "util/contained_folder.h"
#include "util/path.h"
#include "util/shutdown.h"
#include "util/text.h"

namespace kanade {

namespace {
#ifdef _WIN32
constexpr std::string_view kProgramName = "kanade.exe";
#else
constexpr std::string_view kProgramName = "kanade";
#endif

// The digest of a plain file in the program folder, read without following
// a link (nor hanging on a planted pipe); empty for anything else.
std::string DigestInProgramFolder(std::string_view name) {
  const auto folder = ContainedFolder::Open(StripTrailingSeparators(ProgramFolder), {}, false);
  if (!folder || folder->KindOf(name) != EntryKind::kFile) return {};
  const UniqueFile file(folder->OpenForReading(name));
  return file ? Sha256OfStream(file.get()) : std::string();
}

std::string UpgradeName() {
  return "upgrade_" + std::string(kProgramName);
}

bool OpensAsProgram(const ContainedFolder& folder) {
  return folder.KindOf(kProgramName) == EntryKind::kFile &&
         UniqueFile(folder.OpenForReading(kProgramName));
}

// Puts the program kept as `kept` back in place of what lies at its name.
bool PutBack(const ContainedFolder& folder, const std::string& kept) {
  if (folder.KindOf(kProgramName) != EntryKind::kMissing && !folder.Remove(kProgramName)) {
    return false;
  }
  return folder.Rename(kept, kProgramName);
}

// The program copies that upgrades set aside, newest first: regular files
// of the player's own.
std::vector<std::string> KeptPrograms(const ContainedFolder& folder) {
  const std::string prefix = std::string(kProgramName) + std::string(kSetAsideFileMarker);
  std::vector<std::pair<std::filesystem::file_time_type, std::string>> found;
  std::error_code error;
  for (auto it = std::filesystem::directory_iterator(FsPath(folder.Path()), error);
       !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
    const std::string name = Utf8Path(it->path().filename());
    if (!StartsWith(name, prefix) || !IsLeftoverName(name) ||
        folder.KindOf(name) != EntryKind::kFile || folder.ForeignOwner(name)) {
      continue;
    }
    std::error_code unknown;
    found.emplace_back(std::filesystem::last_write_time(it->path(), unknown), name);
  }
  std::sort(found.begin(), found.end(), std::greater<>());
  std::vector<std::string> names;
  for (auto& [time, name] : found) names.push_back(std::move(name));
  return names;
}

constexpr const char* kPutBack = "a virus scanner may have removed it; the build before it is back";

}  // namespace

std::string ProgramExe() {
  return ProgramFolder + std::string(PathSeparator) + std::string(kProgramName);
}

std::string UpgradeExe() {
  return ProgramFolder + std::string(PathSeparator) + UpgradeName();
}

std::string ListedProgramDigest() {
  const auto text = ReadLocalRepository(kOwnRepositoryName);
  if (!text || !IsTrustedAs(CheckRepositoryText(*text, CompiledPublisherKeys()),
                            PublishedNameOf(kOwnRepositoryName), false)) {
    return {};
  }
  std::string digest;
  for (const std::string& raw : SplitLines(*text)) {
    const auto entry = ParseModuleLine(SplitRepositoryLine(raw));
    if (entry && entry->RelativePath == kProgramName) digest = entry->Sha256;
  }
  return digest;
}

UpgradeOutcome PrepareUpgrade(UpgradeSink& sink) {
  const std::string upgrade = UpgradeExe();
  const std::string installed = DigestInProgramFolder(kProgramName);
  if (installed.empty()) return {};  // started from elsewhere: nothing to replace
  const std::string downloaded = DigestInProgramFolder(UpgradeName());
  if (downloaded.empty()) return UpgradeBlocked(upgrade + " is no readable regular file");
  if (installed == downloaded) return {};
  // Only the build that the publisher's signed repository lists may start,
  // checked through the handle it is started from.
  const std::string listed = ListedProgramDigest();
  if (listed.empty()) return UpgradeBlocked("no verified repository lists " + upgrade);
  sink.UpgradeStarting(upgrade);
  const ProgramOutcome started =
      Launcher().StartProgram(upgrade, "-waitfor 10 -upgrade", ProgramFolder, listed);
  // Ending without a successor would leave the player with nothing running.
  if (!started) return UpgradeBlocked(started.Reason);
  EndProgram();
  return {UpgradeResult::kHandedOver, {}};
}

UpgradeOutcome PerformUpgrade(UpgradeSink& sink) {
  const std::string program = ProgramExe();
  const std::string upgrade = UpgradeExe();
  const auto folder = ContainedFolder::Open(StripTrailingSeparators(ProgramFolder), {}, false);
  if (!folder) return UpgradeBlocked("cannot open " + ProgramFolder);
  const EntryKind kind = folder->KindOf(UpgradeName());
  if (kind == EntryKind::kMissing) return {};
  if (kind != EntryKind::kFile) return UpgradeBlocked(upgrade + " is no regular file");
  sink.UpgradeReplacing(upgrade, program);
  const std::string listed = ListedProgramDigest();
  if (listed.empty()) return UpgradeBlocked("no verified repository lists " + upgrade);
  // A virus scanner may remove the new build the moment it is in place: the
  // installed one stays until the new one runs, so the player always has a
  // program to start.
  const std::string installed = DigestInProgramFolder(kProgramName);
  const std::string suffix = RandomHex(8);
  const std::string kept = std::string(kProgramName) + std::string(kSetAsideFileMarker) + suffix;
  if (!installed.empty()) {
    if (suffix.empty()) return UpgradeBlocked("no random name to keep " + program + " under");
    const ProgramOutcome saved = Launcher().CopyFileOver(program, folder->PathOf(kept), installed);
    if (!saved) return UpgradeBlocked(saved.Reason.Within("cannot keep the installed program: "));
  }
  const ProgramOutcome copied = Launcher().CopyFileOver(upgrade, program, listed);
  if (!copied) {
    if (!installed.empty()) folder->Remove(kept);
    return UpgradeBlocked(copied.Reason);
  }
  const ProgramOutcome started = Launcher().StartProgram(program, "", ProgramFolder, listed);
  if (started) {
    EndProgram();
    return {UpgradeResult::kHandedOver, {}};
  }
  Reason why = started.Reason.Within(program + " is in place but ");
  if (installed.empty()) return UpgradeBlocked(why);
  if (!PutBack(*folder, kept)) {
    return UpgradeBlocked(why.Then(SystemReason("cannot put " + kept + " back").Line()));
  }
  return {UpgradeResult::kUndone, why.Then(kPutBack)};
}

UpgradeOutcome RestoreKeptProgram() {
  const auto folder = ContainedFolder::Open(StripTrailingSeparators(ProgramFolder), {}, false);
  if (!folder || OpensAsProgram(*folder)) return {};
  const std::vector<std::string> kept = KeptPrograms(*folder);
  if (kept.empty()) return {};
  const std::string program = ProgramExe();
  Reason why = folder->KindOf(kProgramName) == EntryKind::kMissing
                   ? Reason(program + " was gone after the upgrade")
                   : Reason(program + " cannot be opened after the upgrade");
  if (!PutBack(*folder, kept.front())) {
    return UpgradeBlocked(why.Then(SystemReason("cannot put " + kept.front() + " back").Line()));
  }
  return {UpgradeResult::kUndone, why.Then(kPutBack)};
}

}  // namespace kanade
