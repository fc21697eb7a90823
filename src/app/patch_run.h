// The patch run: a step machine that the main window's events advance.
#pragma once

#include <string>

namespace kanade {

/// Executes the step PatchStep once; sets StepTimer to -1 when it finished.
void RunPatchStep();

/// Whether step `step` would do anything now: the numbers without a step,
/// and steps whose flags leave them nothing to do, finish at once and need
/// no event of their own. Step 100, where the run rests, counts as work.
bool StepHasWork(int step);

/// Moves PatchStep past the step that just finished and every following
/// step without work (StepTimer back to 0). True when the step reached is
/// work to do at once (not the resting step 100).
bool AdvancePatchStep();

/// Requests every repository file that the run's fetch steps will take,
/// together and at once, while the window opens.
void PrefetchRepositories();

/// The live-translation hook while the run idles; does nothing yet.
void LiveTranslationTick();

/// "-waitfor: アップグレード待機中: 10.0 秒" for `remaining_ms`.
std::string WaitLineText(double remaining_ms);

}  // namespace kanade
