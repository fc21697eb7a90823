#include "app/patch_run.h"

#include <cstdio>
#include <filesystem>
#include <iterator>
#include <optional>
#include <system_error>
#include <vector>

#include "app/event_loop.h"
#include "repos/curl_transfer.h"
#include "repos/outcomes.h"
#include "repos/repository_apply.h"
#include "repos/repository_fetch.h"
#include "repos/repository_server.h"
#include "repos/run_report.h"
#include "state/patcher_state.h"
#include "ui/console.h"
#include "ui/responsiveness.h"
#include "upgrade/programs.h"
#include "upgrade/self_upgrade.h"
#include "util/clock.h"
#include "util/contained_folder.h"
#include "util/path.h"
#include "util/run_lock.h"
#include "util/shutdown.h"
#include "util/system_error.h"
#include "util/text.h"

namespace kanade {

namespace {

constexpr double kFinished = -1;
// Step 0 past its countdown, waiting for another copy's run in the folder.
constexpr double kAwaitingTurn = -2;
// The other copy's run is waited for while its log grows; once it has
// written nothing for this long it is taken for stuck, and this run gives
// up without touching anything.
constexpr double kTurnWaitLimitMs = 60000;

// What this run's translation steps did, for the closing line.
struct RunRecord {
  std::optional<RepositoryOutcome> localisation;  // PatchSteps::kLocalisation
  std::optional<RepositoryOutcome> lua;           // PatchSteps::kLuaModule
  std::string no_turn;  // why the run did nothing: another copy's run held the folder
  std::string upgrade;  // why the self-upgrade was blocked
};
RunRecord run_record;

// When step 0 began to wait for its turn (below 0: it has not), the console
// line that says so, and when and at what size the other run last logged.
double turn_wait_since = -1;
int turn_wait_line = 0;
double turn_progress_at = -1;
std::uintmax_t turn_log_size = 0;

void Fetch(std::string_view server_path, std::string_view local_name) {
  FetchRepository(RepositoryBaseUrl() + std::string(server_path), local_name);
}

static_assert(PatchSteps::kFetchPrefixed - PatchSteps::kFetchConvTest + 1 ==
                  std::size(kLocalisationModes),
              "one fetch step per localisation mode");

void FetchMode(std::string_view mode) {
  const std::string name = RepositoryNameOfMode(mode);
  Fetch(RepositoryPathOf(name), name);
}

// A new run forgets what the last one learnt about hosts and paths.
void BeginRun() {
  run_record = {};
  turn_wait_since = -1;
  ForgetUnreachableHosts();
  ForgetAppliedPaths();
}

std::uintmax_t LogSize() {
  std::error_code error;
  const std::uintmax_t size = std::filesystem::file_size(
      FsPath(StripTrailingSeparators(ProgramFolder) + std::string(PathSeparator) + "kanade.log"),
      error);
  return error ? 0 : size;
}

// One run at a time in the program folder, from its first write to its
// closing line; true when the wait is over, with the lock or without
// (run_record.no_turn then says why).
bool TakeTurn() {
  const bool taken = TakeRunLock(StripTrailingSeparators(ProgramFolder));
  const double now = GetClock().ElapsedMs();
  if (!taken && turn_wait_since < 0) {
    turn_wait_since = now;
    turn_wait_line = ReportOtherCopyWaitStarted();
    turn_progress_at = now;
    turn_log_size = LogSize();
    return false;
  }
  if (!taken) {
    if (const std::uintmax_t size = LogSize(); size != turn_log_size) {
      turn_log_size = size;
      turn_progress_at = now;
    }
    if (now - turn_progress_at < kTurnWaitLimitMs) return false;
    run_record.no_turn =
        "another Kanade Patcher has run in " + ProgramFolder + " without writing to its log for " +
        std::to_string(static_cast<long>(kTurnWaitLimitMs / 1000)) + " s; nothing was done";
  }
  if (turn_wait_since >= 0) ReportOtherCopyWaitEnded(turn_wait_line, taken);
  turn_wait_since = -1;
  return true;
}

void StartDelay() {
  PatcherState& s = State();
  if (StepTimer == 0) {
    BeginRun();
    StepTimer = s.WaitForMs;
    s.WaitForMs = 0;
    if (StepTimer > 0) WaitLineIndex = AddConsoleLine(WaitLineText(StepTimer));
  } else if (StepTimer > 0) {
    ResponsivePause(100);
    StepTimer -= 100;
    SetConsoleLineText(WaitLineText(StepTimer), WaitLineIndex);
  }
  // An upgrade goes on as soon as the program that started it has ended;
  // the time is only the longest wait.
  if (StepTimer > 0 && !StartingProgramEnded()) return;
  StepTimer = kAwaitingTurn;
  if (!TakeTurn()) return;
  // A copy killed mid-way, or a program set aside while it ran, goes now
  // that no other run can be making them; never without the lock.
  if (run_record.no_turn.empty()) {
    RemoveLeftoverTemporariesIn(StripTrailingSeparators(ProgramFolder));
  }
  StepTimer = kFinished;
}

// A blocked upgrade is said in the log at once, and turns the closing line red.
void NoteUpgrade(const UpgradeOutcome& outcome) {
  if (!outcome.Blocked()) return;
  const std::string reason = "self-upgrade: " + outcome.Reason;
  LogReason(reason);
  if (run_record.upgrade.empty()) run_record.upgrade = reason;
}

void UpgradeHandOver() {
  if (State().UpgradeRequested) {
    State().UpgradeRequested = 0;
    AddConsoleLine("-upgrade: Performing software upgrade...");
    NoteUpgrade(PerformUpgrade());
  }
}

UpgradeOutcome SelfUpdate() {
  DownloadPrefix = "upgrade_";
  const RepositoryOutcome applied = ApplyRepository(kOwnRepositoryName, ProgramFolder);
  // The new build's own line says why it could not be put beside us.
  if (applied.Modules.Faulty()) {
    return UpgradeBlocked("the new build could not be placed as " + UpgradeExe() + " (" +
                          std::to_string(applied.Modules.Failed) + " failed, " +
                          std::to_string(applied.Modules.Refused) + " refused)");
  }
  return applied.Modules.Written > 0 ? PrepareUpgrade() : UpgradeOutcome{};
}

void FirstRunSettings() {
  const PatcherState& s = State();
  if (s.LocalizationMode.empty() && !s.LaunchedByUpgrade) {
    OpenSettingsWindow();  // moves the run to PatchSteps::kRest until it closes
    return;
  }
  StepTimer = kFinished;
}

void Localisation() {
  PatcherState& s = State();
  const std::string mode = ToLowerAscii(s.LocalizationMode);
  if (!IsLocalisationMode(mode)) return;
  const std::string name = RepositoryNameOfMode(mode);
  // The modes share the game folder: what a mode used before left there goes
  // when another one is applied or the translation is removed.
  std::vector<std::string> others;
  for (const std::string_view other : kLocalisationModes) {
    if (other != mode) others.push_back(RepositoryNameOfMode(other));
  }
  if (s.UninstallRequested) s.EnableLocalization = 0;
  run_record.localisation = s.EnableLocalization ? ApplyRepository(name, s.GameFolder, others)
                                                 : UninstallRepository(name, s.GameFolder, others);
}

void LuaModule() {
  PatcherState& s = State();
  if (s.UninstallRequested) s.EnableLuaIntegration = 0;
  run_record.lua = s.EnableLuaIntegration ? ApplyRepository(kLuaRepositoryName, s.DataFolder)
                                          : UninstallRepository(kLuaRepositoryName, s.DataFolder);
}

void AddReason(std::string& reasons, const std::string& reason) {
  if (!reason.empty()) reasons += (reasons.empty() ? "" : "; ") + reason;
}

bool MatchesFifoPattern(const std::string& name) {
  const std::string lower = ToLowerAscii(name);
  return StartsWith(lower, "fifo") && EndsWith(lower, ".txt") && lower.size() >= 8;
}

void FifoCleanup() {
  const std::string& folder = State().FifoFolder;
  if (folder.empty() || !IsDirectory(folder)) return;
  const int line = ReportFifoCleanupStarted();
  std::string reason;
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator(FsPath(folder), ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    const std::string name = Utf8Path(it->path().filename());
    if (!MatchesFifoPattern(name)) continue;
    const std::string path = folder + std::string(PathSeparator) + name;
    if (!IsFile(path)) continue;
    // A read-only file stays, as on the game's platform, even for root.
    if (IsReadOnlyFile(path)) {
      AddReason(reason, path + " is read-only");
    } else if (!RemoveFile(path)) {
      AddReason(reason, "cannot delete " + path + ": " + LastSystemError());
    }
  }
  ReportFifoCleanupEnded(line, reason.empty(), reason);
}

// The faults of `outcome`'s own files, and with `cleanup` those of what it
// cleared up after a release or another mode.
std::string FaultsOf(std::string_view what, const std::optional<RepositoryOutcome>& outcome,
                     bool cleanup) {
  if (!outcome) return {};
  ModuleTally tally = outcome->Modules;
  if (cleanup) tally.Add(outcome->Cleanup);
  if (!tally.Faulty()) return {};
  return std::string(what) + ": " + std::to_string(tally.Failed) + " failed, " +
         std::to_string(tally.Refused) + " refused";
}

// Green only when the chosen translation is in place: a module of it (or of
// the Lua module, when that is chosen) that failed, a missing game folder,
// or no verified copy of the chosen repository to apply turn the line red.
// What only clears up (a withdrawn file, another mode's leftover, the Lua
// module switched off) has its own red line and reason, and fails nothing
// but an uninstall. A failed fetch whose kept copy was applied in full has
// said so on its own line and fails nothing.
void ClosingMessage() {
  const PatcherState& s = State();
  const bool removing = s.UninstallRequested != 0;
  std::string reasons;
  AddReason(reasons, run_record.no_turn);
  AddReason(reasons, FaultsOf(RepositoryNameOfMode(ToLowerAscii(s.LocalizationMode)),
                              run_record.localisation, removing));
  if (removing || s.EnableLuaIntegration) {
    AddReason(reasons, FaultsOf(kLuaRepositoryName, run_record.lua, removing));
  }
  if (removing) {
    ReportRunEnd(reasons.empty() ? RunEnd::kRemoved : RunEnd::kNotRemoved, reasons);
    return;
  }
  if (s.EnableLocalization && run_record.no_turn.empty()) {
    if (!IsDirectory(s.GameFolder)) {
      AddReason(reasons, "no game folder");
    } else if (run_record.localisation && !run_record.localisation->CopyUsed) {
      AddReason(reasons, run_record.localisation->Reason);
    }
  }
  AddReason(reasons, run_record.upgrade);
  ReportRunEnd(reasons.empty() ? RunEnd::kReady : RunEnd::kNotApplied, reasons);
}

}  // namespace

std::string WaitLineText(double remaining_ms) {
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f", remaining_ms / 1000.0);
  return std::string("-waitfor: アップグレード待機中: ") + seconds + " 秒";
}

void PrefetchRepositories() {
  if (!State().NoPatch) {
    PrefetchRepository(RepositoryBaseUrl() + std::string(kOwnRepositoryPath), kOwnRepositoryName);
  }
  for (const std::string_view mode : kLocalisationModes) {
    const std::string name = RepositoryNameOfMode(mode);
    PrefetchRepository(RepositoryBaseUrl() + RepositoryPathOf(name), name);
  }
  PrefetchRepository(RepositoryBaseUrl() + RepositoryPathOf(kLuaRepositoryName),
                     kLuaRepositoryName);
}

void LiveTranslationTick() {}

bool StepHasWork(int step) {
  const PatcherState& s = State();
  // A run that never had its turn touches nothing and says why.
  if (!run_record.no_turn.empty() && step != PatchSteps::kClosingMessage &&
      step != PatchSteps::kUninstallEnd && step != PatchSteps::kRest) {
    return false;
  }
  switch (step) {
    case PatchSteps::kWait:
      return s.WaitForMs > 0;
    case PatchSteps::kUpgradeHandOver:
      return s.UpgradeRequested != 0;
    case PatchSteps::kFetchOwn:
    case PatchSteps::kSelfUpdate:
      return !s.NoPatch;
    case PatchSteps::kFirstRunSettings:
      return !s.NoPatch && s.LocalizationMode.empty() && !s.LaunchedByUpgrade;
    case PatchSteps::kFetchConvTest:
    case PatchSteps::kFetchTest:
    case PatchSteps::kFetchPrefixed:
    case PatchSteps::kFetchLua:
    case PatchSteps::kLuaModule:
    case PatchSteps::kClosingMessage:
    case PatchSteps::kRest:
      return true;
    case PatchSteps::kLocalisation:
      return IsLocalisationMode(ToLowerAscii(s.LocalizationMode));
    case PatchSteps::kFifoCleanup:
      return !s.FifoFolder.empty() && IsDirectory(s.FifoFolder);
    case PatchSteps::kUninstallEnd:
      return s.UninstallRequested != 0;
    default:
      return false;
  }
}

bool AdvancePatchStep() {
  StepTimer = 0;
  PatchStep += 1;
  while (PatchStep < PatchSteps::kRest && !StepHasWork(static_cast<int>(PatchStep))) {
    PatchStep += 1;
  }
  return PatchStep < PatchSteps::kRest;
}

void RunPatchStep() {
  const PatcherState& s = State();
  const int step = static_cast<int>(PatchStep);
  switch (step) {
    case PatchSteps::kWait:
      StartDelay();
      return;
    case PatchSteps::kUpgradeHandOver:
      UpgradeHandOver();
      break;
    case PatchSteps::kFetchOwn:
      if (!s.NoPatch) Fetch(kOwnRepositoryPath, kOwnRepositoryName);
      break;
    case PatchSteps::kSelfUpdate:
      if (!s.NoPatch) NoteUpgrade(SelfUpdate());
      break;
    case PatchSteps::kFirstRunSettings:
      if (!s.NoPatch) {
        FirstRunSettings();
        return;
      }
      break;
    case PatchSteps::kFetchConvTest:
    case PatchSteps::kFetchTest:
    case PatchSteps::kFetchPrefixed:
      FetchMode(kLocalisationModes[step - PatchSteps::kFetchConvTest]);
      break;
    case PatchSteps::kFetchLua:
      Fetch(RepositoryPathOf(kLuaRepositoryName), kLuaRepositoryName);
      break;
    case PatchSteps::kLocalisation:
      Localisation();
      break;
    case PatchSteps::kLuaModule:
      LuaModule();
      break;
    case PatchSteps::kFifoCleanup:
      FifoCleanup();
      break;
    case PatchSteps::kClosingMessage:
      ClosingMessage();
      break;
    case PatchSteps::kUninstallEnd:
      if (s.UninstallRequested) {
        EndProgram();
        return;
      }
      break;
    case PatchSteps::kRest:
      // Resting, with or without the settings window: another copy's turn.
      ReleaseRunLock();
      if (s.EnableLuaIntegration) LiveTranslationTick();
      return;
    default:
      break;
  }
  // Ending the process (upgrade, uninstall) leaves the run where it was.
  if (!ProgramEnded()) StepTimer = kFinished;
}

}  // namespace kanade
