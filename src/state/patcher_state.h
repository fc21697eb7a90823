// The program's one global record and its program-wide values. Every module
// reads and writes them directly; tests start from ResetProgramState().
#pragma once

#include <cstdint>
#include <string>

namespace kanade {

using Flag = std::uint8_t;  // 0 or 1

struct PatcherState {
  std::string GameFolder;
  std::string AssetBundlesFolder;
  std::string LocOverridesFile;
  std::string LanguageFile;
  std::string GameVersionFile;
  std::string DataFolder;
  std::string LuaFolder;
  std::string PlayerDataFile;
  Flag EnableLuaIntegration = 0;
  Flag EnableLocalization = 0;
  std::string LocalizationMode;
  std::string FifoFolder;
  std::string LiveTranslationToken;
  double SettingsHoverUntil = 0;
  double RefreshHoverUntil = 0;
  double WaitForMs = 0;
  Flag UpgradeRequested = 0;
  Flag LaunchedByUpgrade = 0;
  Flag UninstallRequested = 0;
  Flag NoPatch = 0;
  std::string SteamGameFolder;
  std::string InstalledGameFolder;
  std::string AppDataFolder;
  std::string GameLocationOverride;
};

/// The single instance.
PatcherState& State();

// Program-wide values.
inline std::string ProgramFolder;   // current folder at start-up, ending in PathSeparator
inline int WaitLineIndex = 0;       // console line of the "-waitfor" countdown
inline std::string DownloadPrefix;  // "" or "upgrade_" while the own repository is applied
inline std::string LogLinePrefix;   // "" or "UPG:" in a process started for an upgrade

/// Puts the record and the program-wide values back to their start values.
void ResetProgramState();

/// The current folder with one trailing separator.
std::string CurrentFolderWithSeparator();

}  // namespace kanade
