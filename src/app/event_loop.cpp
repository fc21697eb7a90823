#include "app/event_loop.h"

#include <algorithm>
#include <array>
#include <iterator>

#include "app/patch_run.h"
#include "discovery/game_location.h"
#include "repos/repository_server.h"
#include "settings/settings_file.h"
#include "settings/settings_window.h"
#include "state/patcher_state.h"
#include "ui/console.h"
#include "ui/log_file.h"
#include "ui/main_window.h"
#include "ui/status_canvas.h"
#include "util/clock.h"
#include "util/shutdown.h"
#include "util/text.h"

namespace kanade {

namespace {

constexpr std::string_view kNotDetected = "検出されませんでした。";
constexpr std::string_view kAutoDetectText = "自動検出 (インストール版を優先)";

// Asks for the game's executable; the folder that holds it, or nothing.
std::string BrowseGameFolder(std::string_view start) {
  Toolkit* toolkit = GetToolkit();
  if (toolkit == nullptr) return {};
  const GameFolderDialog dialog = GameFolderDialogAt(start);
  return GameFolderOfDialogAnswer(toolkit->OpenFileDialog(dialog.Title, dialog.Initial,
                                                          dialog.Filter, dialog.FirstFilterEntry));
}

void RestartRun() {
  CurrentRun().Restart();
  ResetConsole();
}

// The mode options, in the order of kLocalisationModes.
std::array<ControlHandle, std::size(kLocalisationModes)> ModeOptions(
    const SettingsWindowControls& c) {
  return {c.ModeConvTestOption, c.ModeTestOption, c.ModePrefixedOption};
}

void ChooseMode(ControlHandle chosen, std::string_view mode) {
  Toolkit& toolkit = *GetToolkit();
  for (ControlHandle option : ModeOptions(SettingsWindow)) {
    if (option != chosen) toolkit.SetChecked(option, false);
  }
  State().LocalizationMode = std::string(mode);
}

void SetOverride(const std::string& folder) {
  Toolkit& toolkit = *GetToolkit();
  State().GameLocationOverride = folder;
  toolkit.SetText(SettingsWindow.LocationField, folder);
  toolkit.SetEnabled(SettingsWindow.AutoDetectButton, true);
}

void FillCandidate(ControlHandle field, ControlHandle button, const std::string& folder) {
  Toolkit& toolkit = *GetToolkit();
  toolkit.SetText(field, folder.empty() ? kNotDetected : std::string_view(folder));
  toolkit.SetEnabled(button, !folder.empty());
}

}  // namespace

std::string AboutText() {
  return "Kanade Patcher は " + RepositoryHostName() +
         " 上で公開している非公式日本語化パッチを Shroud of the Avatar "
         "のゲームに適用するためのツールです。Shroud of the Avatar "
         "のゲームは頻繁に更新されているため "
         "言語パッチも本家に合わせて更新する必要があります。" +
         std::string(CrLf) +
         "このツールは三種類の翻訳パッチの適用のほか、リアルタイム翻訳のLuaモジュールのインストール"
         "と翻訳"
         "サーバとの通信代行も行います（リアルタイム翻訳は有料サービスを使用しているため事前の通告"
         "なしにサ"
         "ービスが停止する場合があります）。" +
         std::string(CrLf) + "制作: Kanade Patcher の開発者と翻訳に協力してくださった皆さん";
}

void RunEventLoop() {
  Toolkit* toolkit = GetToolkit();
  if (toolkit == nullptr) return;
  while (!ProgramEnded()) {
    // Nothing holds the log open while the program waits.
    CloseLogFile();
    Event event = toolkit->WaitEvent();
    if (MainWindow != 0 && event.window == MainWindow) HandleMainWindowEvent(event);
    if (ProgramEnded()) return;
    if (SettingsWindow.Window != 0 && event.window == SettingsWindow.Window) {
      HandleSettingsWindowEvent(event);
      continue;  // closing the settings window never ends the loop
    }
    if (event.kind == EventKind::kCloseRequest && event.window == MainWindow) return;
  }
}

Point TrackPointer() {
  Toolkit* toolkit = GetToolkit();
  if (toolkit == nullptr || MainWindow == 0) return Point{-1, -1};
  PatcherState& s = State();
  const Point pointer = toolkit->PointerPosition(MainWindow);
  const double now = GetClock().ElapsedMs();
  if (pointer.x > 0 && pointer.y > 0) {
    if (PointInControl(pointer.x, pointer.y, SettingsButton)) s.SettingsHoverUntil = now + 100;
    if (PointInControl(pointer.x, pointer.y, RefreshButton)) s.RefreshHoverUntil = now + 100;
  }
  return pointer;
}

void HandleMainWindowEvent(const Event& event) {
  const Point pointer = TrackPointer();
  if (event.kind == EventKind::kControl && event.control == MainCanvas) {
    if (event.type == ControlEventType::kLeftClick) {
      if (PointInControl(pointer.x, pointer.y, SettingsButton)) OpenSettingsWindow();
      if (PointInControl(pointer.x, pointer.y, RefreshButton)) RestartRun();
    } else if (event.type == ControlEventType::kKeyPress) {
      if (event.key == kKeyUp) ScrollConsoleUp();
      if (event.key == kKeyDown) ScrollConsoleDown();
    }
  }
  PatchRun& run = CurrentRun();
  RunPatchStep();
  if (ProgramEnded()) return;
  if (run.StepFinished()) {
    CanvasDirty = true;
    // The next step that has work runs on an event of its own, after this
    // repaint, but without waiting for the next timer tick.
    if (run.Advance()) GetToolkit()->RequestTimerEvent(MainWindow, kMainTimerId);
  }
  // A step that blocked (a download, the countdown) may have outlasted the
  // hover time: look again, so that the box under the pointer stays lit.
  TrackPointer();
  DrawStatusCanvas(false);
}

void HandleSettingsWindowEvent(const Event& event) {
  Toolkit& toolkit = *GetToolkit();
  const SettingsWindowControls& c = SettingsWindow;
  PatcherState& s = State();
  if (event.kind == EventKind::kCloseRequest) {
    CloseSettingsWindow();
    return;
  }
  if (event.kind != EventKind::kControl || event.control == 0) return;
  const ControlHandle control = event.control;
  const auto options = ModeOptions(c);
  const auto option = std::find(options.begin(), options.end(), control);
  if (option != options.end()) {
    ChooseMode(control, kLocalisationModes[option - options.begin()]);
  } else if (control == c.EnableLocalizationCheck) {
    s.EnableLocalization = toolkit.IsChecked(control) ? 1 : 0;
  } else if (control == c.EnableLuaCheck) {
    s.EnableLuaIntegration = toolkit.IsChecked(control) ? 1 : 0;
  } else if (control == c.PreferInstalledButton) {
    SetOverride(s.InstalledGameFolder);
  } else if (control == c.PreferSteamButton) {
    SetOverride(s.SteamGameFolder);
  } else if (control == c.AutoDetectButton) {
    s.GameLocationOverride.clear();
    toolkit.SetText(c.LocationField, kAutoDetectText);
    toolkit.SetEnabled(c.AutoDetectButton, false);
  } else if (control == c.BrowseButton) {
    const std::string folder = BrowseGameFolder(s.GameFolder);
    if (!folder.empty()) SetOverride(folder);
  } else if (control == c.OkButton && event.type == ControlEventType::kLeftClick) {
    CloseSettingsWindow();
  }
}

void OpenSettingsWindow() {
  if (SettingsWindow.Window != 0) return;
  CurrentRun().Rest();
  BuildSettingsWindow(0, 0, 600, 500);
  if (SettingsWindow.Window == 0) return;
  FillSettingsWindow();
}

void FillSettingsWindow() {
  Toolkit& toolkit = *GetToolkit();
  const SettingsWindowControls& c = SettingsWindow;
  PatcherState& s = State();
  toolkit.SetText(c.AboutBox, AboutText());
  toolkit.SetText(c.TokenBox, s.LiveTranslationToken);
  toolkit.SetChecked(c.EnableLocalizationCheck, s.EnableLocalization != 0);
  toolkit.SetChecked(c.EnableLuaCheck, s.EnableLuaIntegration != 0);
  const auto options = ModeOptions(c);
  for (const ControlHandle option : options) toolkit.SetChecked(option, false);
  // A run without a mode yet starts from the first.
  std::size_t chosen = 0;
  for (std::size_t i = 0; i < options.size(); ++i) {
    if (s.LocalizationMode == kLocalisationModes[i]) chosen = i;
  }
  s.LocalizationMode = kLocalisationModes[chosen];
  toolkit.SetChecked(options[chosen], true);
  FillCandidate(c.InstalledField, c.PreferInstalledButton, s.InstalledGameFolder);
  FillCandidate(c.SteamField, c.PreferSteamButton, s.SteamGameFolder);
  if (s.GameLocationOverride.empty()) {
    toolkit.SetText(c.LocationField, kAutoDetectText);
    toolkit.SetEnabled(c.AutoDetectButton, false);
  } else {
    toolkit.SetText(c.LocationField, s.GameLocationOverride);
    toolkit.SetEnabled(c.AutoDetectButton, true);
  }
}

void CloseSettingsWindow() {
  Toolkit& toolkit = *GetToolkit();
  if (SettingsWindow.Window == 0) return;
  PatcherState& s = State();
  std::string token = toolkit.GetText(SettingsWindow.TokenBox);
  token = ReplaceAll(ReplaceAll(ReplaceAll(token, Lf, ""), Cr, ""), " ", "");
  s.LiveTranslationToken = TrimSpaces(token);
  toolkit.CloseWindow(SettingsWindow.Window);
  SaveSettings();
  DetectGameLocation();
  ValidateGameFolder(s.GameLocationOverride);
  SettingsWindow = SettingsWindowControls{};
  RestartRun();
}

}  // namespace kanade
