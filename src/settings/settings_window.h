// The 600 x 500 settings window and its controls.
#pragma once

#include "ui/toolkit.h"

namespace kanade {

struct SettingsWindowControls {
  WindowHandle Window = 0;
  ControlHandle AboutBox = 0;
  ControlHandle EnableLocalizationCheck = 0;
  ControlHandle ModeConvTestOption = 0;
  ControlHandle ModeConvTestNote = 0;
  ControlHandle ModeTestOption = 0;
  ControlHandle ModeTestNote = 0;
  ControlHandle ModePrefixedOption = 0;
  ControlHandle ModePrefixedNote = 0;
  ControlHandle PatchFrame = 0;
  ControlHandle LuaFrame = 0;
  ControlHandle EnableLuaCheck = 0;
  ControlHandle TokenLabel = 0;
  ControlHandle TokenBox = 0;
  ControlHandle LuaWarningLine1 = 0;
  ControlHandle LuaWarningLine2 = 0;
  ControlHandle OkButton = 0;
  ControlHandle LocationFrame = 0;
  ControlHandle DetectionLabel = 0;
  ControlHandle InstalledLabel = 0;
  ControlHandle SteamLabel = 0;
  ControlHandle PreferSteamButton = 0;
  ControlHandle PreferInstalledButton = 0;
  ControlHandle SteamField = 0;
  ControlHandle InstalledField = 0;
  ControlHandle LocationField = 0;
  ControlHandle AutoDetectButton = 0;
  ControlHandle BrowseButton = 0;
  ControlHandle NotImplementedLabel = 0;
};

/// The open settings window (Window 0 while it is closed).
inline SettingsWindowControls SettingsWindow;

/// Opens the settings window centred on the main window (x and y have no
/// effect) and creates every control in order with its font, colour and
/// disabled state.
void BuildSettingsWindow(int x, int y, int width, int height);

}  // namespace kanade
