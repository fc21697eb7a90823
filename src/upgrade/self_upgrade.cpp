#include "upgrade/self_upgrade.h"

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
  const ProgramOutcome copied = Launcher().CopyFileOver(upgrade, program, listed);
  if (!copied) return UpgradeBlocked(copied.Reason);
  const ProgramOutcome started = Launcher().StartProgram(program, "", ProgramFolder, listed);
  if (!started) return UpgradeBlocked(started.Reason.Within(program + " is in place but "));
  EndProgram();
  return {UpgradeResult::kHandedOver, {}};
}

}  // namespace kanade
