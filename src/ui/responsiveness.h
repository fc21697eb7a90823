// Keeps the window alive while a step blocks (downloads, pauses): the
// toolkit collects events and the canvas repaints at most every 100 ms.
// Nothing is handled re-entrantly; queued events wait for the event loop.
#pragma once

#include <functional>

namespace kanade {

/// Called by code that waits: downloads, pauses, countdowns.
void KeepResponsive();

/// The repaint to run from KeepResponsive (the status canvas); empty for none.
void SetResponsiveRepaint(std::function<void()> repaint);

/// Pauses for `ms` milliseconds on the clock, staying responsive meanwhile.
void ResponsivePause(int ms);

}  // namespace kanade
