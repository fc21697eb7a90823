// The patch run: a step machine that the main window's events advance.
#pragma once

#include <string>

namespace kanade {

/// The steps of the patch run as PatchStep counts them, in the order they
/// run. The numbers between them are steps without work; the run rests at
/// kRest.
struct PatchSteps {
  static constexpr int kWait = 0;
  static constexpr int kUpgradeHandOver = 1;
  static constexpr int kFetchOwn = 10;
  static constexpr int kSelfUpdate = 11;
  static constexpr int kFirstRunSettings = 12;
  static constexpr int kFetchConvTest = 20;  // one fetch step per localisation mode, in their order
  static constexpr int kFetchTest = 21;
  static constexpr int kFetchPrefixed = 22;
  static constexpr int kFetchLua = 23;
  static constexpr int kLocalisation = 30;
  static constexpr int kLuaModule = 31;
  static constexpr int kFifoCleanup = 40;
  static constexpr int kClosingMessage = 50;
  static constexpr int kUninstallEnd = 80;
  static constexpr int kRest = 100;
};

/// Executes the step PatchStep once; sets StepTimer to -1 when it finished.
void RunPatchStep();

/// Whether step `step` would do anything now: the numbers without a step,
/// and steps whose flags leave them nothing to do, finish at once and need
/// no event of their own. kRest counts as work.
bool StepHasWork(int step);

/// Moves PatchStep past the step that just finished and every following
/// step without work (StepTimer back to 0). True when the step reached is
/// work to do at once (not kRest).
bool AdvancePatchStep();

/// Requests every repository file that the run's fetch steps will take,
/// together and at once, while the window opens.
void PrefetchRepositories();

/// The live-translation hook while the run idles; does nothing yet.
void LiveTranslationTick();

/// "-waitfor: アップグレード待機中: 10.0 秒" for `remaining_ms`.
std::string WaitLineText(double remaining_ms);

}  // namespace kanade
