// The patch run: a step machine that the main window's events advance.
#pragma once

#include <string>

namespace kanade {

/// Executes the step PatchStep once; sets StepTimer to -1 when it finished.
void RunPatchStep();

/// The live-translation hook while the run idles; does nothing yet.
void LiveTranslationTick();

/// "-waitfor: アップグレード待機中: 10.0 秒" for `remaining_ms`.
std::string WaitLineText(double remaining_ms);

}  // namespace kanade
