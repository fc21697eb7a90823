// The program's one main loop and the handling of both windows' events.
#pragma once

#include "ui/toolkit.h"

namespace kanade {

/// Takes events one at a time until the main window is asked to close (or
/// the program ended itself).
void RunEventLoop();

void HandleMainWindowEvent(const Event& event);

/// Lights the painted box under the pointer for the next 100 ms; returns the
/// pointer's position in the main window. Called for every main-window event
/// and by every repaint while a step blocks, so that a box stays lit for as
/// long as the pointer rests on it.
Point TrackPointer();
void HandleSettingsWindowEvent(const Event& event);

void OpenSettingsWindow();
void FillSettingsWindow();
void CloseSettingsWindow();

/// The about text of the settings window.
std::string AboutText();

}  // namespace kanade
