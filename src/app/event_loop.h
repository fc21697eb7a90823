// The program's one main loop and the handling of both windows' events.
#pragma once

#include "ui/toolkit.h"

namespace kanade {

/// Takes events one at a time until the main window is asked to close (or
/// the program ended itself).
void RunEventLoop();

void HandleMainWindowEvent(const Event& event);
void HandleSettingsWindowEvent(const Event& event);

void OpenSettingsWindow();
void FillSettingsWindow();
void CloseSettingsWindow();

/// The about text of the settings window.
std::string AboutText();

}  // namespace kanade
