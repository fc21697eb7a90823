#include "app/patch_run.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "app/event_loop.h"
#include "app/shutdown.h"
#include "repos/repository_apply.h"
#include "repos/repository_fetch.h"
#include "repos/repository_server.h"
#include "state/patcher_state.h"
#include "ui/console.h"
#include "ui/responsiveness.h"
#include "upgrade/programs.h"
#include "upgrade/self_upgrade.h"
#include "util/path.h"
#include "util/text.h"

namespace kanade {

namespace {

constexpr double kFinished = -1;
constexpr std::string_view kReady = "日本語化パッチの準備ができました。ゲームを開始してください！";
constexpr std::string_view kRemoved = "日本語化パッチがアンインストールされました。";
constexpr std::string_view kNotApplied =
    "日本語化パッチを適用できませんでした。kanade.log を確認してください。";
constexpr std::string_view kNotRemoved =
    "日本語化パッチをアンインストールできませんでした。kanade.log を確認してください。";

// Whether a line of the translation steps (fetches 20 to 23, steps 30 and
// 31) turned red: taken when they begin, judged when they end, so that the
// self-update and the FIFO cleanup do not count.
int red_before_translation = 0;
bool translation_failed = false;

void Fetch(std::string_view server_path, std::string_view local_name) {
  FetchRepository(RepositoryBaseUrl() + std::string(server_path), local_name);
}

void StartDelay() {
  PatcherState& s = State();
  if (StepTimer == 0) {
    StepTimer = s.WaitForMs;
    s.WaitForMs = 0;
    if (StepTimer > 0) WaitLineIndex = AddConsoleLine(WaitLineText(StepTimer));
  } else {
    ResponsivePause(100);
    StepTimer -= 100;
    SetConsoleLineText(WaitLineText(StepTimer), WaitLineIndex);
  }
  // An upgrade goes on as soon as the program that started it has ended;
  // the time is only the longest wait.
  if (StepTimer <= 0 || StartingProgramEnded()) StepTimer = kFinished;
}

void UpgradeHandOver() {
  if (State().UpgradeRequested) {
    State().UpgradeRequested = 0;
    AddConsoleLine("-upgrade: Performing software upgrade...");
    PerformUpgrade();
  }
}

void SelfUpdate() {
  DownloadPrefix = "upgrade_";
  if (ApplyRepository(kOwnRepositoryName, ProgramFolder)) PrepareUpgrade();
}

void FirstRunSettings() {
  const PatcherState& s = State();
  if (s.LocalizationMode.empty() && !s.LaunchedByUpgrade) {
    OpenSettingsWindow();  // moves the run to step 100 until it closes
    return;
  }
  StepTimer = kFinished;
}

void Localisation() {
  PatcherState& s = State();
  const std::string mode = ToLowerAscii(s.LocalizationMode);
  if (mode != "kanade-test" && mode != "kanade-prefixed" && mode != "kanade-conv-test") return;
  const std::string name = RepositoryNameOfMode(mode);
  if (s.UninstallRequested) s.EnableLocalization = 0;
  if (s.EnableLocalization) {
    ApplyRepository(name, s.GameFolder);
  } else {
    UninstallRepository(name, s.GameFolder);
  }
}

void LuaModule() {
  PatcherState& s = State();
  if (s.UninstallRequested) s.EnableLuaIntegration = 0;
  if (s.EnableLuaIntegration) {
    ApplyRepository(kLuaRepositoryName, s.DataFolder);
  } else {
    UninstallRepository(kLuaRepositoryName, s.DataFolder);
  }
}

bool MatchesFifoPattern(const std::string& name) {
  const std::string lower = ToLowerAscii(name);
  return StartsWith(lower, "fifo") && EndsWith(lower, ".txt") && lower.size() >= 8;
}

void FifoCleanup() {
  const std::string& folder = State().FifoFolder;
  if (folder.empty() || !IsDirectory(folder)) return;
  const std::string message = "FIFOバッファの整理中...";
  const int line = AddConsoleLine(message);
  bool success = true;
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator(FsPath(folder), ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    const std::string name = Utf8Path(it->path().filename());
    if (!MatchesFifoPattern(name)) continue;
    const std::string path = folder + std::string(PathSeparator) + name;
    if (!IsFile(path)) continue;
    // A read-only file stays, as on the game's platform, even for root.
    if (IsReadOnlyFile(path) || !RemoveFile(path)) success = false;
  }
  if (success) {
    SetConsoleLineText(message + " 完了", line);
  } else {
    SetConsoleLineText(message + " 失敗", line);
    SetConsoleLineColour(kRed, line);
  }
}

// Green only when nothing of the translation failed; a run that could not
// do its work says so instead of telling the player to start the game.
void ClosingMessage() {
  const PatcherState& s = State();
  AddConsoleLine("");
  if (s.UninstallRequested) {
    if (translation_failed) {
      AddConsoleLine(kNotRemoved, kRed);
    } else {
      AddConsoleLine(kRemoved);
    }
  } else if (translation_failed || (s.EnableLocalization && !IsDirectory(s.GameFolder))) {
    AddConsoleLine(kNotApplied, kRed);
  } else {
    AddConsoleLine(kReady);
    SetConsoleLineColour(kGreen);
  }
}

}  // namespace

std::string WaitLineText(double remaining_ms) {
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f", remaining_ms / 1000.0);
  return std::string("-waitfor: アップグレード待機中: ") + seconds + " 秒";
}

void LiveTranslationTick() {}

bool StepHasWork(int step) {
  const PatcherState& s = State();
  switch (step) {
    case 0:
      return s.WaitForMs > 0;
    case 1:
      return s.UpgradeRequested != 0;
    case 10:
    case 11:
      return !s.NoPatch;
    case 12:
      return !s.NoPatch && s.LocalizationMode.empty() && !s.LaunchedByUpgrade;
    case 20:
    case 21:
    case 22:
    case 23:
    case 31:
    case 50:
    case 100:
      return true;
    case 30: {
      const std::string mode = ToLowerAscii(s.LocalizationMode);
      return mode == "kanade-test" || mode == "kanade-prefixed" || mode == "kanade-conv-test";
    }
    case 40:
      return !s.FifoFolder.empty() && IsDirectory(s.FifoFolder);
    case 80:
      return s.UninstallRequested != 0;
    default:
      return false;
  }
}

bool AdvancePatchStep() {
  StepTimer = 0;
  PatchStep += 1;
  while (PatchStep < 100 && !StepHasWork(static_cast<int>(PatchStep))) PatchStep += 1;
  return PatchStep < 100;
}

void RunPatchStep() {
  const PatcherState& s = State();
  const int step = static_cast<int>(PatchStep);
  switch (step) {
    case 0:
      StartDelay();
      return;
    case 1:
      UpgradeHandOver();
      break;
    case 10:
      if (!s.NoPatch) Fetch(kOwnRepositoryPath, kOwnRepositoryName);
      break;
    case 11:
      if (!s.NoPatch) SelfUpdate();
      break;
    case 12:
      if (!s.NoPatch) {
        FirstRunSettings();
        return;
      }
      break;
    case 20:
      red_before_translation = ConsoleRedCount();
      Fetch("/repos/kanade-conv-test.repo", "kanade-conv-test.repo");
      break;
    case 21:
      Fetch("/repos/kanade-test.repo", "kanade-test.repo");
      break;
    case 22:
      Fetch("/repos/kanade-prefixed.repo", "kanade-prefixed.repo");
      break;
    case 23:
      Fetch(RepositoryPathOf(kLuaRepositoryName), kLuaRepositoryName);
      break;
    case 30:
      Localisation();
      break;
    case 31:
      LuaModule();
      translation_failed = ConsoleRedCount() != red_before_translation;
      break;
    case 40:
      FifoCleanup();
      break;
    case 50:
      ClosingMessage();
      break;
    case 80:
      if (s.UninstallRequested) {
        EndProgram();
        return;
      }
      break;
    case 100:
      if (s.EnableLuaIntegration) LiveTranslationTick();
      return;
    default:
      break;
  }
  // Ending the process (upgrade, uninstall) leaves the run where it was.
  if (!ProgramEnded()) StepTimer = kFinished;
}

}  // namespace kanade
