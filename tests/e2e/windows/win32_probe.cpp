// Drives the Win32 toolkit and the CNG digests from inside kanade.exe's own
// libraries, for win32_smoke_test.sh to run under Wine.
//   win32_probe digests FILE   digest texts of fixed texts and of FILE
//   win32_probe libraries      libsodium's Ed25519, curl's zlib and HTTP/2
//   win32_probe window         opens the main-window layout, draws, prints
//                              the events it gets; ends after a key press
//   win32_probe layout GAME DPI  the program's own main window, and its
//                              settings window once the settings box is
//                              clicked (layout_probe.h); prints what the
//                              backend shows in device pixels. OK in the
//                              settings window tells both windows that
//                              they moved to a monitor at DPI, as Windows
//                              does.
//   win32_probe hold FILE RELEASE  keeps FILE open without sharing it, as the
//                              game keeps its files, from when RELEASE.held
//                              appears until RELEASE does
#include <curl/curl.h>
#include <sodium.h>
#include <windows.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "app/command_line.h"
#include "layout_probe.h"
#include "repos/sha256.h"
#include "ui/backdrops.h"
#include "ui/display_scale.h"
#include "ui/toolkit.h"
#include "ui/win32_toolkit.h"
#include "util/path.h"
#include "util/utf.h"

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

// RFC 8032, section 7.1, test 2: a known-good signature of one byte, which
// must verify, and must not once the byte changes.
int Libraries() {
  std::printf("sodium_init %d\n", sodium_init());
  const auto decode = [](unsigned char* out, std::size_t size, const char* hex) {
    return sodium_hex2bin(out, size, hex, 2 * size, nullptr, nullptr, nullptr) == 0;
  };
  unsigned char key[crypto_sign_PUBLICKEYBYTES];
  unsigned char signature[crypto_sign_BYTES];
  if (!decode(key, sizeof key,
              "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c") ||
      !decode(signature, sizeof signature,
              "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da"
              "085ac1e43e15996e458f3613d0f11d8c387b2eaeb4302aeeb00d291612bb0c00")) {
    return 1;
  }
  unsigned char message[] = {0x72};
  std::printf("ed25519_known %d\n", crypto_sign_verify_detached(signature, message, 1, key));
  message[0] ^= 1;
  std::printf("ed25519_altered %d\n", crypto_sign_verify_detached(signature, message, 1, key));
  // gzip Content-Encoding needs curl built with zlib.
  const curl_version_info_data* curl = curl_version_info(CURLVERSION_NOW);
  std::printf("libz %s\n", curl->libz_version != nullptr ? curl->libz_version : "");
  std::printf("curl_libz %d\n", (curl->features & CURL_VERSION_LIBZ) != 0 ? 1 : 0);
  std::printf("curl_http2 %d\n", (curl->features & CURL_VERSION_HTTP2) != 0 ? 1 : 0);
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

// WM_DPICHANGED as Windows sends it when a window is dragged to a monitor at
// `dpi`: the suggested rectangle keeps the window's corner and holds the
// client area at the new scale inside the frame that this system draws.
void MoveToMonitorAt(const wchar_t* title, int dpi, int client_width, int client_height) {
  HWND hwnd = FindWindowW(nullptr, title);
  if (hwnd == nullptr) return;
  RECT now;
  GetWindowRect(hwnd, &now);
  const DisplayScale scale(dpi);
  RECT frame{0, 0, scale.Scale(client_width), scale.Scale(client_height)};
  AdjustWindowRectEx(&frame, static_cast<DWORD>(GetWindowLongPtrW(hwnd, GWL_STYLE)), FALSE, 0);
  RECT suggested{now.left, now.top, now.left + frame.right - frame.left,
                 now.top + frame.bottom - frame.top};
  SendMessageW(hwnd, WM_DPICHANGED, MAKEWPARAM(dpi, dpi), reinterpret_cast<LPARAM>(&suggested));
}

int Layout(const std::string& game, int move_dpi) {
  auto toolkit = MakeWin32Toolkit();
  SetToolkit(toolkit.get());
  probe::ShowMainWindow(*toolkit, game, "\\");
  if (MainWindow == 0) return 1;
  probe::PrintLayout("main", ReportWin32Layout(*toolkit, MainWindow));
  std::printf("ready\n");
  std::fflush(stdout);
  // Until the main window is asked to close, or a minute of ticks.
  for (int ticks = 0; ticks < 600;) {
    const Event e = toolkit->WaitEvent();
    if (e.kind == EventKind::kTimer) ++ticks;
    if (e.kind == EventKind::kControl && e.control == SettingsWindow.OkButton &&
        SettingsWindow.Window != 0) {
      MoveToMonitorAt(L"Kanade Patcher", move_dpi, 600, 300);
      MoveToMonitorAt(L"Kanade Patcher 設定", move_dpi, 600, 500);
      probe::PrintLayout("main", ReportWin32Layout(*toolkit, MainWindow));
      probe::PrintLayout("settings", ReportWin32Layout(*toolkit, SettingsWindow.Window));
      std::printf("moved\n");
      std::fflush(stdout);
      continue;
    }
    const probe::Outcome outcome = probe::HandleEvent(e);
    if (outcome == probe::Outcome::kEnd) break;
    if (outcome == probe::Outcome::kSettingsOpened) {
      probe::PrintLayout("settings", ReportWin32Layout(*toolkit, SettingsWindow.Window));
      std::printf("settings\n");
      std::fflush(stdout);
    }
  }
  return 0;
}

int Hold(const std::string& file, const std::string& release) {
  HANDLE held = CreateFileW(Widen(file).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (held == INVALID_HANDLE_VALUE || !WriteFileAtomically(release + ".held", "")) return 1;
  while (GetFileAttributesW(Widen(release).c_str()) == INVALID_FILE_ATTRIBUTES) Sleep(20);
  CloseHandle(held);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // The UTF-16 command line: argv would lose the Japanese file name.
  LoadProgramParameters(argc, argv);
  const auto& parameters = ProgramParameters();
  const std::string mode = parameters.empty() ? "" : parameters[0];
  if (mode == "digests" && parameters.size() > 1) return Digests(parameters[1]);
  if (mode == "libraries") return Libraries();
  if (mode == "window") return Window();
  if (mode == "layout" && parameters.size() > 2) {
    return Layout(parameters[1], std::atoi(parameters[2].c_str()));
  }
  if (mode == "hold" && parameters.size() > 2) return Hold(parameters[1], parameters[2]);
  std::fprintf(stderr,
               "usage: win32_probe digests FILE | libraries | window | layout GAME DPI | "
               "hold FILE RELEASE\n");
  return 2;
}
