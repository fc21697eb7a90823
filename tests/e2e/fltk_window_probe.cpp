// A small program for the real-window tests: it opens windows through the
// FLTK toolkit, draws known things at known places, and prints every event
// it receives on stdout, one line each, for the test script to check.
//
//   fltk_window_probe main        the main window layout with a drawing
//   fltk_window_probe settings    the main window and an owned 600 x 500
//                                 window with every kind of control
//   fltk_window_probe layout      the program's own main and settings
//                                 windows (layout_probe.h); prints what
//                                 the backend shows, in device pixels
//   fltk_window_probe close XID   asks window XID to close, as a window
//                                 manager does, and exits
#include <X11/Xlib.h>

#include <chrono>
#include <thread>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <FL/Fl.H>

#include "layout_probe.h"
#include "ui/backdrops.h"
#include "ui/fltk_toolkit.h"

namespace kanade {
namespace {

int SendClose(const char* xid_text) {
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) return 2;
  const Window window = std::strtoul(xid_text, nullptr, 0);
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
  event.xclient.data.l[1] = CurrentTime;
  XSendEvent(display, window, False, NoEventMask, &event);
  XCloseDisplay(display);
  return 0;
}

void Say(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

// The FLTK toolkit, installed for the program's code; nothing without a display.
std::unique_ptr<Toolkit> StartToolkit() {
  std::unique_ptr<Toolkit> toolkit = MakeFltkToolkit();
  if (!toolkit) {
    Say("no-display");
    return nullptr;
  }
  SetToolkit(toolkit.get());
  return toolkit;
}

int Run(bool settings) {
  std::unique_ptr<Toolkit> toolkit = StartToolkit();
  if (!toolkit) return 3;
  auto& fltk = static_cast<FltkToolkit&>(*toolkit);
  const FontHandle canvas_font = toolkit->LoadFont("Meiryo UI", 8);
  const FontHandle mono_font = toolkit->LoadFont("Courier New", 8);
  Say("font canvas " + fltk.FontFace(canvas_font) + "|" +
      std::to_string(fltk.FontPixels(canvas_font)));
  Say("font mono " + fltk.FontFace(mono_font) + "|" + std::to_string(fltk.FontPixels(mono_font)));

  const WindowHandle main = toolkit->OpenWindow(600, 300, "Kanade Patcher", true, 0);
  toolkit->SetBackgroundColour(main, Rgb{192, 192, 192});
  const ControlHandle canvas =
      toolkit->CreateControl(main, ControlKind::kCanvas, {0, 0, 600, 300}, "");
  const ControlHandle settings_button =
      toolkit->CreateControl(main, ControlKind::kPushButton, {560, 5, 32, 32}, "設定");
  const ControlHandle refresh_button =
      toolkit->CreateControl(main, ControlKind::kPushButton, {10, 5, 32, 32}, "更新");
  toolkit->SetFont(settings_button, canvas_font);
  toolkit->Hide(settings_button);
  toolkit->Hide(refresh_button);
  toolkit->AddTimer(main, 123, 100);

  const PictureHandle backdrop = toolkit->DecodeJpeg(kBackdropData[0], kBackdropSize[0]);
  if (!toolkit->BeginDraw(canvas)) return 4;
  toolkit->SetTransparentTextBackground();
  toolkit->SelectFont(canvas_font);
  toolkit->DrawPicture(backdrop, 0, 0);
  toolkit->DrawText(100, 85, "C:\\Games\\Shroud of the Avatar", kWhite);
  toolkit->DrawText(100, 102, "不明です。[参照]を押して設定してください。", kRed);
  // Known pixels for the test: two filled boxes and text on plain black.
  toolkit->FillRect({20, 150, 40, 30}, Rgb{255, 0, 0});
  toolkit->FillRect({80, 150, 40, 30}, Rgb{0, 255, 0});
  toolkit->FillRect({300, 200, 200, 30}, kBlack);
  toolkit->DrawText(305, 205, "非公式日本語化パッチ", kWhite);
  toolkit->FillRect({560, 5, 32, 32}, Rgb{200, 200, 200});
  toolkit->FillRect({561, 6, 30, 30}, kBlack);
  toolkit->DrawText(564, 13, "設定", Rgb{200, 200, 200});
  toolkit->EndDraw(canvas);
  // The frame holds the picture; freeing the handle must not blank it.
  toolkit->FreePicture(backdrop);

  ControlHandle option_a = 0, option_b = 0, check = 0, token = 0, ok = 0;
  WindowHandle dialog = 0;
  if (settings) {
    dialog = toolkit->OpenWindow(600, 500, "Kanade Patcher 設定", false, main);
    const FontHandle dialog_font = toolkit->LoadFont("Meiryo UI", 8);
    auto make = [&](ControlKind kind, Rect r, const char* caption, FontHandle font) {
      const ControlHandle c = toolkit->CreateControl(dialog, kind, r, caption);
      if (font != 0) toolkit->SetFont(c, font);
      return c;
    };
    const ControlHandle about =
        make(ControlKind::kReadOnlyBox, {10, 10, 580, 120}, "", dialog_font);
    toolkit->SetText(about,
                     "Kanade Patcher は非公式日本語化パッチをゲームに適用するためのツールです。"
                     "長い段落は折り返して表示されます。\r\n二つ目の段落です。");
    check =
        make(ControlKind::kCheckBox, {20, 250, 170, 25}, "言語パッチを自動適用する", dialog_font);
    option_a = make(ControlKind::kOptionButton, {50, 270, 250, 25},
                    "Kanade-ui+conv-fuzzy-loose を適用する", 0);
    make(ControlKind::kLabel, {70, 300, 270, 25}, "UI + 会話を含んだ翻訳パッチ", 0);
    option_b =
        make(ControlKind::kOptionButton, {50, 330, 250, 25}, "Kanade-ui-fuzzy-loose を適用する", 0);
    make(ControlKind::kFrame, {10, 240, 340, 210}, "", 0);
    make(ControlKind::kFrame, {360, 240, 230, 210}, "", 0);
    const ControlHandle lua = make(ControlKind::kCheckBox, {370, 250, 210, 25},
                                   "リアルタイム翻訳Luaを自動適用する", dialog_font);
    toolkit->SetEnabled(lua, false);
    token = make(ControlKind::kEditableBox, {370, 310, 210, 100}, "", mono_font);
    toolkit->SetText(token, "abc def");
    toolkit->SetEnabled(token, false);
    const ControlHandle warning = make(ControlKind::kLabelCentred, {370, 410, 210, 16},
                                       "警告: リアルタイム翻訳を有効にした場合は", dialog_font);
    toolkit->SetTextColour(warning, kRed);
    ok = make(ControlKind::kPushButton, {490, 460, 100, 25}, "OK", 0);
    make(ControlKind::kFrame, {10, 140, 580, 95}, "", 0);
    make(ControlKind::kLabel, {20, 160, 70, 20}, "ゲーム検出：", dialog_font);
    const ControlHandle field = make(ControlKind::kField, {90, 160, 350, 20}, "", 0);
    toolkit->SetText(field, "自動検出 (インストール版を優先)");
    make(ControlKind::kPushButton, {450, 160, 60, 20}, "自動検出", dialog_font);
    toolkit->SetChecked(option_a, true);
  }
  Say("ready");

  // Prints events until the main window is asked to close; a safety limit
  // of 30 seconds of timer ticks ends a forgotten probe.
  int ticks = 0;
  for (;;) {
    const Event e = toolkit->WaitEvent();
    std::string where = e.window == main ? "main" : e.window == dialog ? "dialog" : "other";
    if (e.kind == EventKind::kTimer) {
      if (++ticks == 1) Say("timer " + where + " " + std::to_string(e.timer_id));
      if (ticks > 300) return 5;
      continue;
    }
    if (e.kind == EventKind::kCloseRequest) {
      Say("close " + where);
      if (e.window == dialog && dialog != 0) {
        toolkit->CloseWindow(dialog);
        dialog = 0;
        continue;
      }
      break;
    }
    if (e.kind != EventKind::kControl) continue;
    if (e.control == canvas && e.type == ControlEventType::kKeyPress &&
        (e.key == 'O' || e.key == 'F')) {
      // The file dialog, opened from a key so that the test can answer it;
      // F asks for FLTK's own chooser, as on a system without GTK.
      const char* start = std::getenv("PROBE_DIALOG_START");
      if (e.key == 'F') Fl::option(Fl::OPTION_FNFC_USES_GTK, false);
      const std::string chosen =
          toolkit->OpenFileDialog("SotA ゲームフォルダを指定する", start != nullptr ? start : "",
                                  "Shroud of the Avatar|Shroud of the Avatar.exe", 1);
      Say("dialog [" + chosen + "]");
      continue;
    }
    if (e.control == canvas && e.type == ControlEventType::kKeyPress && e.key == 'B') {
      // Blocks like a download, lets the toolkit collect events, then marks
      // the queue: the timer must not have piled up meanwhile.
      for (int i = 0; i < 8; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        toolkit->PumpEvents();
      }
      Event marker;
      marker.kind = EventKind::kOther;
      marker.window = main;
      fltk.QueueEvent(marker);
      int timers = 0;
      for (Event q = toolkit->WaitEvent(); q.kind != EventKind::kOther; q = toolkit->WaitEvent()) {
        timers += q.kind == EventKind::kTimer;
      }
      Say("backlog " + std::to_string(timers));
      continue;
    }
    const std::string what = e.control == canvas     ? "canvas"
                             : e.control == option_a ? "option_a"
                             : e.control == option_b ? "option_b"
                             : e.control == check    ? "check"
                             : e.control == ok       ? "ok"
                                                     : "control";
    if (e.type == ControlEventType::kKeyPress) {
      Say("key " + what + " " + std::to_string(e.key));
    } else {
      const Point p = toolkit->PointerPosition(e.window);
      std::string line =
          "click " + where + " " + what + " " + std::to_string(p.x) + " " + std::to_string(p.y);
      if (settings) {
        line += " checked " + std::to_string(toolkit->IsChecked(option_a)) +
                std::to_string(toolkit->IsChecked(option_b)) +
                std::to_string(toolkit->IsChecked(check));
      }
      Say(line);
    }
  }
  toolkit->CloseWindow(main);
  SetToolkit(nullptr);
  return 0;
}

int RunLayout() {
  std::unique_ptr<Toolkit> toolkit = StartToolkit();
  if (!toolkit) return 3;
  auto& fltk = static_cast<FltkToolkit&>(*toolkit);
  const char* game = std::getenv("PROBE_GAME");
  probe::ShowMainWindow(*toolkit, game != nullptr ? game : "/", "/");
  Say("dpi " + std::to_string(fltk.Scale().dpi()));
  probe::PrintLayout("main", fltk.ReportLayout(MainWindow));
  Say("ready");
  // Until the main window is asked to close, or a minute of ticks.
  for (int ticks = 0; ticks < 600;) {
    const Event e = toolkit->WaitEvent();
    if (e.kind == EventKind::kTimer) ++ticks;
    const probe::Outcome outcome = probe::HandleEvent(e);
    if (outcome == probe::Outcome::kEnd) break;
    if (outcome == probe::Outcome::kSettingsOpened) {
      probe::PrintLayout("settings", fltk.ReportLayout(SettingsWindow.Window));
      Say("settings");
    }
  }
  if (SettingsWindow.Window != 0) toolkit->CloseWindow(SettingsWindow.Window);
  toolkit->CloseWindow(MainWindow);
  SetToolkit(nullptr);
  return 0;
}

}  // namespace
}  // namespace kanade

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "main";
  if (mode == "close" && argc > 2) return kanade::SendClose(argv[2]);
  if (mode == "layout") return kanade::RunLayout();
  return kanade::Run(mode == "settings");
}
