// The program's own two windows, built and painted by its own code through
// a real toolkit backend, for the probes of the display-scale tests, and the
// lines in which a probe reports what the backend shows.
#pragma once

#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "app/event_loop.h"
#include "app/startup.h"
#include "settings/settings_window.h"
#include "state/patcher_state.h"
#include "ui/backdrops.h"
#include "ui/console.h"
#include "ui/layout_report.h"
#include "ui/main_window.h"
#include "ui/status_canvas.h"

namespace kanade::probe {

/// The main window as a finished first run leaves it: the first backdrop,
/// both folders, a full console ending in the ready message. `game` must
/// exist; `sep` is the platform's path separator.
inline void ShowMainWindow(Toolkit& toolkit, const std::string& game, const std::string& sep) {
  ProgramFolder = CurrentFolderWithSeparator();
  MainFont = toolkit.LoadFont("Meiryo UI", 8);
  DialogFont = toolkit.LoadFont("Meiryo UI", 8);
  MonoFont = toolkit.LoadFont("Courier New", 8);
  CanvasFont = toolkit.LoadFont("Meiryo UI", 8);
  PatcherState& s = State();
  s.GameFolder = s.DataFolder = s.InstalledGameFolder = game;
  s.SteamGameFolder = game + sep + "steamapps" + sep + "common" + sep + "Shroud of the Avatar";
  SetBackdropImages({std::span<const std::uint8_t>(kBackdropData[0], kBackdropSize[0])});
  ResetBackdropRotation();
  CreateConsole();
  ResetConsole();
  const std::string server = "https://kanade-patcher.example.org/repos/";
  for (const char* name : {"kanade-patcher", "kanade-conv-test"}) {
    AddConsoleLine("レポジトリを取得中: " + server + name + ".repo 成功");
  }
  AddConsoleLine("レポジトリ適用: kanade-conv-test.repo を適用中...");
  AddConsoleLine("- 更新: " + game + sep + "Language.txt 成功");
  AddConsoleLine("レポジトリを取得中: " + server + "kanade-lua.repo 不一致", kRed);
  AddConsoleLine("FIFOバッファの整理中... 完了");
  AddConsoleLine("");
  AddConsoleLine("日本語化パッチの準備ができました。ゲームを開始してください！", kGreen);
  BuildMainWindow(0, 0, 600, 300);
  PrepareMainWindow();
}

enum class Outcome { kNone, kSettingsOpened, kEnd };

/// One event, handled as the program handles it: the box under the pointer
/// lights, a click on the settings box opens the settings window, a close
/// request closes the settings window or ends the probe.
inline Outcome HandleEvent(const Event& e) {
  if (e.kind == EventKind::kCloseRequest) {
    if (SettingsWindow.Window == 0 || e.window != SettingsWindow.Window) return Outcome::kEnd;
    GetToolkit()->CloseWindow(SettingsWindow.Window);
    SettingsWindow = SettingsWindowControls{};
    return Outcome::kNone;
  }
  if (e.window != MainWindow) return Outcome::kNone;
  const Point pointer = TrackPointer();
  Outcome outcome = Outcome::kNone;
  if (e.kind == EventKind::kControl && e.control == MainCanvas &&
      e.type == ControlEventType::kLeftClick && SettingsWindow.Window == 0 &&
      PointInControl(pointer.x, pointer.y, SettingsButton)) {
    OpenSettingsWindow();
    outcome = Outcome::kSettingsOpened;
  }
  DrawStatusCanvas(false);
  return outcome;
}

/// One line per item: "layout WINDOW KIND | layout x y w h | box x y w h |
/// area x y w h | text w h | TEXT".
inline void PrintLayout(const char* window, const std::vector<LayoutItem>& items) {
  for (const LayoutItem& i : items) {
    std::printf("layout %s %s | %d %d %d %d | %d %d %d %d | %d %d %d %d | %d %d | %s\n", window,
                i.kind.c_str(), i.layout.x, i.layout.y, i.layout.width, i.layout.height, i.box.x,
                i.box.y, i.box.width, i.box.height, i.area.x, i.area.y, i.area.width, i.area.height,
                i.text_width, i.text_height, i.text.c_str());
  }
  std::fflush(stdout);
}

}  // namespace kanade::probe
