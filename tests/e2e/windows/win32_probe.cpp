// Drives the Win32 toolkit and the CNG digests from inside kanade.exe's own
// libraries, for win32_smoke_test.sh to run under Wine.
//   win32_probe digests FILE   digest texts of fixed texts and of FILE
//   win32_probe window         opens the main-window layout, draws, prints
//                              the events it gets; ends after a key press
#include <cstdio>
#include <string>
#include <string_view>

#include "app/command_line.h"
#include "repos/sha256.h"
#include "ui/backdrops.h"
#include "ui/toolkit.h"
#include "ui/win32_toolkit.h"
#include "util/path.h"

using namespace kanade;

namespace {

int Digests(std::string_view file) {
  std::printf("abc %s\n", Sha256OfText("abc").c_str());
  std::printf("empty %s\n", Sha256OfText("").c_str());
  std::string bytes;
  for (int i = 0; i < (1 << 20) + 3; ++i) bytes += static_cast<char>(i % 251);
  if (!WriteFileAtomically(file, bytes)) return 1;
  std::printf("bytes %s\n", Sha256OfBytes(bytes.data(), bytes.size()).c_str());
  std::printf("file %s\n", Sha256OfFile(file).c_str());
  std::printf("missing [%s]\n", Sha256OfFile(std::string(file) + ".missing").c_str());
  return 0;
}

int Window() {
  auto toolkit = MakeWin32Toolkit();
  SetToolkit(toolkit.get());
  const WindowHandle window = toolkit->OpenWindow(600, 300, "Kanade Patcher", true, 0);
  const ControlHandle canvas =
      toolkit->CreateControl(window, ControlKind::kCanvas, Rect{0, 0, 600, 300}, "");
  const FontHandle font = toolkit->LoadFont("Meiryo UI", 8);
  const PictureHandle picture = toolkit->DecodeJpeg(kBackdropData[0], kBackdropSize[0]);
  if (window == 0 || canvas == 0 || font == 0 || picture == 0) return 1;
  if (!toolkit->BeginDraw(canvas)) return 1;
  toolkit->DrawPicture(picture, 0, 0);
  toolkit->SetTransparentTextBackground();
  toolkit->SelectFont(font);
  toolkit->DrawText(100, 85, "D:\\ゲーム\\Shroud of the Avatar", kWhite);
  toolkit->FillRect(Rect{0, 140, 300, 30}, kBlack);
  toolkit->DrawText(10, 145, "リポジトリ取得中 成功", kWhite);
  // A CJK character beside one that no font has: equal pictures would mean
  // that Japanese is drawn as empty boxes.
  toolkit->FillRect(Rect{0, 175, 100, 25}, kBlack);
  toolkit->DrawText(10, 178, "取", kWhite);
  toolkit->DrawText(40, 178, "\xEE\x80\x80", kWhite);
  toolkit->FillRect(Rect{500, 250, 50, 30}, kRed);
  toolkit->EndDraw(canvas);
  toolkit->AddTimer(window, 123, 100);
  std::printf("ready\n");
  std::fflush(stdout);
  // Two hundred timer events: the probe never outlives twenty seconds.
  for (int timers = 0; timers < 200;) {
    const Event e = toolkit->WaitEvent();
    if (e.kind == EventKind::kTimer) {
      ++timers;
      continue;
    }
    if (e.kind == EventKind::kControl && e.control == canvas) {
      if (e.type == ControlEventType::kLeftClick) {
        const Point p = toolkit->PointerPosition(window);
        std::printf("click %d %d\n", p.x, p.y);
      } else {
        std::printf("key %d\n", e.key);
      }
      std::fflush(stdout);
      if (e.type == ControlEventType::kKeyPress) return 0;
    }
  }
  std::printf("timeout\n");
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  // The UTF-16 command line: argv would lose the Japanese file name.
  LoadProgramParameters(argc, argv);
  const auto& parameters = ProgramParameters();
  const std::string mode = parameters.empty() ? "" : parameters[0];
  if (mode == "digests" && parameters.size() > 1) return Digests(parameters[1]);
  if (mode == "window") return Window();
  std::fprintf(stderr, "usage: win32_probe digests FILE | window\n");
  return 2;
}
