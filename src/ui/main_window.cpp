#include "ui/main_window.h"

namespace kanade {

void BuildMainWindow(int /*x*/, int /*y*/, int width, int height) {
  Toolkit* toolkit = GetToolkit();
  if (toolkit == nullptr) return;
  MainWindow = toolkit->OpenWindow(width, height, "Kanade Patcher", true, 0);
  if (MainWindow == 0) return;
  toolkit->SetBackgroundColour(MainWindow, Rgb{192, 192, 192});
  MainCanvas = toolkit->CreateControl(MainWindow, ControlKind::kCanvas, {0, 0, width, height}, "");
  SettingsButton =
      toolkit->CreateControl(MainWindow, ControlKind::kPushButton, {560, 5, 32, 32}, "設定");
  toolkit->SetFont(SettingsButton, MainFont);
  RefreshButton =
      toolkit->CreateControl(MainWindow, ControlKind::kPushButton, {10, 5, 32, 32}, "更新");
  toolkit->SetFont(RefreshButton, MainFont);
}

void ForgetMainWindow() {
  MainWindow = 0;
  MainCanvas = 0;
  SettingsButton = 0;
  RefreshButton = 0;
}

}  // namespace kanade
