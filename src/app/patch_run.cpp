#include "app/patch_run.h"

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <system_error>
#include <vector>

#include "app/event_loop.h"
#include "discovery/game_process.h"
#include "net/curl_transfer.h"
#include "net/system_proxy.h"
#include "repos/repository_apply.h"
#include "repos/repository_fetch.h"
#include "repos/repository_server.h"
#include "repos/repository_work.h"
#include "state/patcher_state.h"
#include "ui/responsiveness.h"
#include "upgrade/programs.h"
#include "util/clock.h"
#include "util/contained_folder.h"
#include "util/path.h"
#include "util/process_rights.h"
#include "util/run_lock.h"
#include "util/shutdown.h"
#include "util/system_error.h"
#include "util/text.h"

namespace kanade {

namespace {

using Step = PatchStep;

// The other copy's run is waited for while its log grows; once it has
// written nothing for this long it is taken for stuck, and this run gives
// up without touching anything.
constexpr double kTurnWaitLimitMs = 60000;
// The countdown's tick.
constexpr int kCountdownTickMs = 100;
// How often the wait for the game looks whether it still runs.
constexpr double kGameCheckMs = 500;
// The window's pause while the system's proxy settings are read.
constexpr int kProxyWaitSliceMs = 50;

static_assert(static_cast<int>(Step::kFetchPrefixed) - static_cast<int>(Step::kFetchConvTest) + 1 ==
                  std::size(kLocalisationModes),
              "one fetch step per localisation mode");

std::uintmax_t LogSize() {
  std::error_code error;
  const std::uintmax_t size = std::filesystem::file_size(
      FsPath(StripTrailingSeparators(ProgramFolder) + std::string(PathSeparator) + "kanade.log"),
      error);
  return error ? 0 : size;
}

void AddReason(std::string& reasons, const std::string& reason) {
  if (!reason.empty()) reasons += (reasons.empty() ? "" : "; ") + reason;
}

bool MatchesFifoPattern(const std::string& name) {
  const std::string lower = ToLowerAscii(name);
  return StartsWith(lower, "fifo") && EndsWith(lower, ".txt") && lower.size() >= 8;
}

// The faults of `outcome`'s own files, and with `cleanup` those of what it
// cleared up after a release or another mode.
std::string FaultsOf(std::string_view what, const std::optional<RepositoryOutcome>& outcome,
                     bool cleanup) {
  if (!outcome) return {};
  ModuleTally tally = outcome->Modules;
  if (cleanup) tally.Add(outcome->Cleanup);
  std::string faults;
  if (tally.Faulty()) {
    faults = std::string(what) + ": " + std::to_string(tally.Failed) + " failed, " +
             std::to_string(tally.Refused) + " refused";
  }
  // An uninstall that could not tell what it had installed removed what it
  // knew, but cannot say that the translation is gone.
  if (outcome->OwnFilesUnknown) AddReason(faults, outcome->Reason.Line());
  return faults;
}

// The modes share the game folder: what a mode used before left there goes
// when another one is applied or the translation is removed.
std::vector<std::string> OtherModes(std::string_view mode) {
  std::vector<std::string> others;
  for (const std::string_view other : kLocalisationModes) {
    if (other != mode) others.push_back(RepositoryNameOfMode(other));
  }
  return others;
}

Step Next(Step step) {
  return static_cast<Step>(static_cast<int>(step) + 1);
}

}  // namespace

PatchRun& CurrentRun() {
  static PatchRun run;
  return run;
}

void RunPatchStep() {
  CurrentRun().RunStep();
}

void PatchRun::Restart() {
  Jump(Step::kWait);
}

void PatchRun::Rest() {
  Jump(Step::kRest);
}

void PatchRun::Jump(Step step) {
  step_ = step;
  state_ = StepState::kBegin;
}

// A new run forgets what the last one learnt about hosts and paths.
void PatchRun::BeginRun() {
  record_ = {};
  proxy_told_ = false;
  // The first run's requests went out at start-up, before its first step:
  // what they spent of the servers' retries is that run's.
  if (begun_) ForgetUnreachableHosts();
  begun_ = true;
  ForgetAppliedPaths();
}

// One run at a time in the program folder, from its first write to its
// closing line; true when the wait is over, with the lock or without
// (record_.no_turn then says why).
bool PatchRun::TakeTurn() {
  const bool taken = TakeRunLock(StripTrailingSeparators(ProgramFolder));
  const double now = GetClock().ElapsedMs();
  const bool waiting = state_ == StepState::kAwaitingTurn;
  if (!taken && !waiting) {
    state_ = StepState::kAwaitingTurn;
    turn_wait_since_ = now;
    reporter_.OtherCopyWaitStarted();
    turn_progress_at_ = now;
    turn_log_size_ = LogSize();
    return false;
  }
  if (!taken) {
    if (const std::uintmax_t size = LogSize(); size != turn_log_size_) {
      turn_log_size_ = size;
      turn_progress_at_ = now;
    }
    if (now - turn_progress_at_ < kTurnWaitLimitMs) return false;
    record_.no_turn =
        "another Kanade Patcher has run in " + ProgramFolder + " without writing to its log for " +
        std::to_string(static_cast<long>(kTurnWaitLimitMs / 1000)) + " s; nothing was done";
  }
  if (waiting) reporter_.OtherCopyWaitEnded(taken);
  return true;
}

// The program folder's files (settings, repository copies, the record) are
// taken only from their owner: in another user's folder, above all run as
// root or administrator, the run does nothing and says what to do. A folder
// on a file system without owners is said once in the log.
bool PatchRun::FolderIsOurs() {
  const std::string folder = StripTrailingSeparators(ProgramFolder);
  const auto opened = ContainedFolder::Open(folder, {}, false);
  if (!opened) return true;
  if (opened->KeepsNoOwners() && !owners_told_) {
    reporter_.OwnersNotKept(folder);
    owners_told_ = true;
  }
  const auto owner = opened->ForeignOwner(".");
  if (!owner) return true;
  reporter_.ForeignProgramFolder(folder, *owner, RunsElevated());
  record_.no_turn = folder + " belongs to " + *owner;
  return false;
}

void PatchRun::StartDelay() {
  PatcherState& s = State();
  if (state_ == StepState::kBegin) {
    BeginRun();
    if (!FolderIsOurs()) {
      state_ = StepState::kFinished;
      return;
    }
    countdown_ms_ = s.WaitForMs;
    s.WaitForMs = 0;
    state_ = StepState::kCountingDown;
    if (countdown_ms_ > 0) reporter_.WaitStarted(countdown_ms_);
  } else if (state_ == StepState::kCountingDown && countdown_ms_ > 0) {
    ResponsivePause(kCountdownTickMs);
    countdown_ms_ -= kCountdownTickMs;
    reporter_.WaitCountdown(countdown_ms_);
  }
  // An upgrade goes on as soon as the program that started it has ended;
  // the time is only the longest wait.
  if (state_ == StepState::kCountingDown && countdown_ms_ > 0 && !StartingProgramEnded()) return;
  if (!TakeTurn()) return;
  // A copy killed mid-way, or a program set aside while it ran, goes now
  // that no other run can be making them; never without the lock, and
  // never the program an upgrade kept while it is the only one.
  if (record_.no_turn.empty()) {
    const UpgradeOutcome restored = RestoreKeptProgram();
    NoteUpgrade(restored);
    if (restored.Result != UpgradeResult::kBlocked) {
      RemoveLeftoverTemporariesIn(StripTrailingSeparators(ProgramFolder));
    }
  }
  state_ = StepState::kFinished;
}

// A blocked upgrade gets a red line of its own before the closing line,
// which speaks of the translation alone.
void PatchRun::NoteUpgrade(const UpgradeOutcome& outcome) {
  if (outcome.Blocked() && !record_.upgrade) record_.upgrade = outcome;
}

UpgradeOutcome PatchRun::SelfUpdate() {
  DownloadPrefix = "upgrade_";
  const RepositoryOutcome applied = ApplyRepository(kOwnRepositoryName, ProgramFolder, reporter_);
  // The new build's own line says why it could not be put beside us.
  if (applied.Modules.Faulty()) {
    return UpgradeBlocked("the new build could not be placed as " + UpgradeExe() + " (" +
                          std::to_string(applied.Modules.Failed) + " failed, " +
                          std::to_string(applied.Modules.Refused) + " refused)");
  }
  return applied.Modules.Written > 0 ? PrepareUpgrade(reporter_) : UpgradeOutcome{};
}

// The game holds its files open while it runs, and on Windows none of them
// can be replaced then: the translation waits until it has ended. Each
// event of the window looks again, at most twice a second; closing the
// window meanwhile leaves every file as it was.
void PatchRun::AwaitGame() {
  const double now = GetClock().ElapsedMs();
  if (state_ == StepState::kBegin) {
    const std::vector<RunningProgram> running = RunningGamePrograms(State().GameFolder);
    state_ = running.empty() ? StepState::kFinished : StepState::kAwaitingGame;
    game_checked_at_ = now;
    if (running.empty()) return;
    std::vector<std::string> names;
    for (const RunningProgram& program : running) {
      if (std::find(names.begin(), names.end(), program.Name) == names.end()) {
        names.push_back(program.Name);
      }
    }
    reporter_.GameWaitStarted(names);
    return;
  }
  if (now - game_checked_at_ < kGameCheckMs) return;
  game_checked_at_ = now;
  if (!RunningGamePrograms(State().GameFolder).empty()) return;
  reporter_.GameWaitEnded();
  state_ = StepState::kFinished;
}

void PatchRun::Fetch(std::string_view server_path, std::string_view local_name) {
  // The log names the run's proxy before its first request.
  if (!proxy_told_) {
    while (!SystemProxyDecided()) ResponsivePause(kProxyWaitSliceMs);
    reporter_.ProxyInUse(ProxyInUse(RepositoryBaseUrl()));
    proxy_told_ = true;
  }
  FetchRepository(RepositoryBaseUrl() + std::string(server_path), local_name, reporter_);
}

void PatchRun::Localisation() {
  PatcherState& s = State();
  const std::string mode = ToLowerAscii(s.LocalizationMode);
  if (!IsLocalisationMode(mode)) return;
  const std::string name = RepositoryNameOfMode(mode);
  const std::vector<std::string> others = OtherModes(mode);
  if (s.UninstallRequested) s.EnableLocalization = 0;
  record_.localisation = s.EnableLocalization
                             ? ApplyRepository(name, s.GameFolder, reporter_, others)
                             : UninstallRepository(name, s.GameFolder, reporter_, others);
}

void PatchRun::LuaModule() {
  PatcherState& s = State();
  if (s.UninstallRequested) s.EnableLuaIntegration = 0;
  record_.lua = s.EnableLuaIntegration
                    ? ApplyRepository(kLuaRepositoryName, s.DataFolder, reporter_)
                    : UninstallRepository(kLuaRepositoryName, s.DataFolder, reporter_);
}

// Whether the translation steps would write or remove a file the game
// uses, as they would decide it now.
bool PatchRun::TranslationHasWork() const {
  const PatcherState& s = State();
  const auto action = [&s](Flag enabled) {
    return enabled && !s.UninstallRequested ? PatchAction::kInstall : PatchAction::kUninstall;
  };
  const std::string mode = ToLowerAscii(s.LocalizationMode);
  if (IsLocalisationMode(mode) &&
      RepositoryHasWork(RepositoryNameOfMode(mode), s.GameFolder, action(s.EnableLocalization),
                        OtherModes(mode))) {
    return true;
  }
  return RepositoryHasWork(kLuaRepositoryName, s.DataFolder, action(s.EnableLuaIntegration));
}

void PatchRun::FifoCleanup(const std::string& folder) {
  if (folder.empty() || !IsDirectory(folder)) return;
  reporter_.FifoCleanupStarted();
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
  reporter_.FifoCleanupEnded(reason);
}

// Green only when the chosen translation is in place: a module of it (or of
// the Lua module, when that is chosen) that failed, a missing game folder,
// or no verified copy of the chosen repository to apply turn the line red.
// What only clears up (a withdrawn file, another mode's leftover, the Lua
// module switched off) has its own red line and reason, and fails nothing
// but an uninstall. A failed fetch whose kept copy was applied in full has
// said so on its own line and fails nothing.
void PatchRun::ClosingMessage() {
  const PatcherState& s = State();
  const bool removing = s.UninstallRequested != 0;
  if (record_.upgrade) reporter_.UpgradeNotDone(*record_.upgrade);
  std::string reasons;
  AddReason(reasons, record_.no_turn);
  AddReason(reasons, FaultsOf(RepositoryNameOfMode(ToLowerAscii(s.LocalizationMode)),
                              record_.localisation, removing));
  if (removing || s.EnableLuaIntegration) {
    AddReason(reasons, FaultsOf(kLuaRepositoryName, record_.lua, removing));
  }
  if (removing) {
    // A failed uninstall stays on screen, and the process ends with a
    // failure once the player closes it.
    record_.not_removed = !reasons.empty();
    SetExitStatus(record_.not_removed ? 1 : 0);
    reporter_.RunEnded(reasons.empty() ? RunEnd::kRemoved : RunEnd::kNotRemoved, reasons);
    return;
  }
  if (s.EnableLocalization && record_.no_turn.empty()) {
    if (!IsDirectory(s.GameFolder)) {
      AddReason(reasons, "no game folder");
    } else if (record_.localisation && !record_.localisation->CopyUsed) {
      AddReason(reasons, record_.localisation->Reason.Line());
    }
  }
  reporter_.RunEnded(reasons.empty() ? RunEnd::kReady : RunEnd::kNotApplied, reasons);
}

void PatchRun::PrefetchRepositories() {
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

bool PatchRun::HasWork(Step step) const {
  const PatcherState& s = State();
  // A run that never had its turn touches nothing and says why.
  if (!record_.no_turn.empty() && step != Step::kClosingMessage && step != Step::kUninstallEnd &&
      step != Step::kRest) {
    return false;
  }
  switch (step) {
    case Step::kWait:
      return s.WaitForMs > 0;
    case Step::kUpgradeHandOver:
      return s.UpgradeRequested != 0;
    case Step::kFetchOwn:
    case Step::kSelfUpdate:
      return !s.NoPatch;
    case Step::kFirstRunSettings:
      return !s.NoPatch && s.LocalizationMode.empty() && !s.LaunchedByUpgrade;
    case Step::kFetchConvTest:
    case Step::kFetchTest:
    case Step::kFetchPrefixed:
    case Step::kFetchLua:
    case Step::kLuaModule:
    case Step::kClosingMessage:
    case Step::kRest:
      return true;
    case Step::kGameRunning:
      // The game is waited for only when a file it uses would change.
      return !RunningGamePrograms(s.GameFolder).empty() && TranslationHasWork();
    case Step::kLocalisation:
      return IsLocalisationMode(ToLowerAscii(s.LocalizationMode));
    case Step::kFifoCleanup:
      return !s.FifoFolder.empty() && IsDirectory(s.FifoFolder);
    case Step::kUninstallEnd:
      return s.UninstallRequested != 0 && !record_.not_removed;
  }
  return false;
}

bool PatchRun::Advance() {
  state_ = StepState::kBegin;
  step_ = Next(step_);
  while (step_ < Step::kRest && !HasWork(step_)) step_ = Next(step_);
  if (step_ > Step::kRest) step_ = Step::kRest;
  return step_ < Step::kRest;
}

void PatchRun::RunStep() {
  PatcherState& s = State();
  switch (step_) {
    case Step::kWait:
      StartDelay();
      return;
    case Step::kUpgradeHandOver:
      if (s.UpgradeRequested) {
        s.UpgradeRequested = 0;
        reporter_.UpgradeHandOver();
        NoteUpgrade(PerformUpgrade(reporter_));
      }
      break;
    case Step::kFetchOwn:
      if (!s.NoPatch) Fetch(kOwnRepositoryPath, kOwnRepositoryName);
      break;
    case Step::kSelfUpdate:
      if (!s.NoPatch) NoteUpgrade(SelfUpdate());
      break;
    case Step::kFirstRunSettings:
      if (!s.NoPatch && s.LocalizationMode.empty() && !s.LaunchedByUpgrade) {
        OpenSettingsWindow();  // moves the run to kRest until it closes
        return;
      }
      break;
    case Step::kFetchConvTest:
    case Step::kFetchTest:
    case Step::kFetchPrefixed: {
      const std::string name = RepositoryNameOfMode(
          kLocalisationModes[static_cast<int>(step_) - static_cast<int>(Step::kFetchConvTest)]);
      Fetch(RepositoryPathOf(name), name);
      break;
    }
    case Step::kFetchLua:
      Fetch(RepositoryPathOf(kLuaRepositoryName), kLuaRepositoryName);
      break;
    case Step::kGameRunning:
      AwaitGame();
      return;
    case Step::kLocalisation:
      Localisation();
      break;
    case Step::kLuaModule:
      LuaModule();
      break;
    case Step::kFifoCleanup:
      FifoCleanup(s.FifoFolder);
      break;
    case Step::kClosingMessage:
      ClosingMessage();
      break;
    case Step::kUninstallEnd:
      if (s.UninstallRequested && !record_.not_removed) {
        EndProgram();
        return;
      }
      break;
    case Step::kRest:
      // Resting, with or without the settings window: another copy's turn.
      ReleaseRunLock();
      if (s.EnableLuaIntegration) LiveTranslationTick();
      return;
  }
  // Ending the process (upgrade, uninstall) leaves the run where it was.
  if (!ProgramEnded()) state_ = StepState::kFinished;
}

}  // namespace kanade
