// The 600 x 300 main window: a canvas covering it and two hidden push
// buttons that only lend their rectangles and captions to the painting.
#pragma once

#include "ui/toolkit.h"

namespace kanade {

inline WindowHandle MainWindow = 0;
inline ControlHandle MainCanvas = 0;
inline ControlHandle SettingsButton = 0;
inline ControlHandle RefreshButton = 0;

inline constexpr int kMainTimerId = 123;
inline constexpr int kMainTimerPeriodMs = 100;

/// Opens the main window (centred; x and y have no effect) and creates its
/// canvas and the two buttons. MainWindow stays 0 when it cannot be opened.
void BuildMainWindow(int x, int y, int width, int height);

/// Forgets the main window's handles (after it was closed).
void ForgetMainWindow();

}  // namespace kanade
