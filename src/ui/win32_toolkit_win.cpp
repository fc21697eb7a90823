#include <windows.h>

#include <commctrl.h>
#include <commdlg.h>

#include <algorithm>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ui/display_scale.h"
#include "ui/picture_decoders.h"
#include "ui/picture_scaling.h"
#include "ui/win32_toolkit.h"
#include "util/path.h"
#include "util/utf.h"

namespace kanade {

namespace {

constexpr wchar_t kWindowClass[] = L"KanadePatcherWindow";
constexpr wchar_t kCanvasClass[] = L"KanadePatcherCanvas";
constexpr int kIconResource = 1;
// Control identifiers start above the dialog manager's IDOK and IDCANCEL,
// so that Enter and Escape never name one of our controls by accident.
constexpr int kFirstControlId = 1000;

COLORREF ToColorRef(Rgb colour) {
  return RGB(colour.r, colour.g, colour.b);
}

std::wstring WithCrLf(std::string_view text) {
  std::wstring wide = Widen(text);
  std::wstring out;
  out.reserve(wide.size());
  for (std::size_t i = 0; i < wide.size(); ++i) {
    if (wide[i] == L'\r') {
      out += L"\r\n";
      if (i + 1 < wide.size() && wide[i + 1] == L'\n') ++i;
    } else if (wide[i] == L'\n') {
      out += L"\r\n";
    } else {
      out += wide[i];
    }
  }
  return out;
}

// The window class, styles and text of a control of `kind`.
struct ControlClass {
  const wchar_t* window_class = L"STATIC";
  DWORD style = WS_CHILD | WS_VISIBLE;
  DWORD ex_style = 0;
  std::wstring text;
};

ControlClass ControlClassOf(ControlKind kind, std::string_view caption) {
  ControlClass chosen;
  chosen.text = Widen(caption);
  switch (kind) {
    case ControlKind::kCanvas:
      chosen.window_class = kCanvasClass;
      chosen.style |= WS_TABSTOP;
      break;
    case ControlKind::kPushButton:
      chosen.window_class = L"BUTTON";
      chosen.style |= WS_TABSTOP | BS_PUSHBUTTON;
      break;
    case ControlKind::kCheckBox:
      chosen.window_class = L"BUTTON";
      chosen.style |= WS_TABSTOP | BS_AUTOCHECKBOX;
      break;
    case ControlKind::kOptionButton:
      // Each button is its own group: no exclusion between them.
      chosen.window_class = L"BUTTON";
      chosen.style |= WS_TABSTOP | WS_GROUP | BS_AUTORADIOBUTTON;
      break;
    case ControlKind::kLabel:
      chosen.style |= SS_LEFT | SS_NOPREFIX;  // FitLabel keeps one-line labels on one line
      break;
    case ControlKind::kLabelCentred:
      chosen.style |= SS_CENTER | SS_NOPREFIX;
      break;
    case ControlKind::kFrame:
      chosen.style |= SS_GRAYFRAME;
      chosen.text.clear();
      break;
    case ControlKind::kField:
      chosen.window_class = L"EDIT";
      chosen.style |= ES_READONLY | ES_AUTOHSCROLL;
      break;
    case ControlKind::kReadOnlyBox:
    case ControlKind::kEditableBox:
      chosen.window_class = L"EDIT";
      chosen.style |= WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL | WS_TABSTOP;
      if (kind == ControlKind::kReadOnlyBox) chosen.style |= ES_READONLY;
      chosen.ex_style = WS_EX_CLIENTEDGE;
      chosen.text = WithCrLf(caption);
      break;
  }
  return chosen;
}

// The DPI functions of Windows 10 (1607 and later), looked up at run time:
// older systems run the program system-aware, at the DPI of the screen.
struct DpiFunctions {
  UINT(WINAPI* GetDpiForWindow)(HWND) = nullptr;
  UINT(WINAPI* GetDpiForSystem)() = nullptr;
  BOOL(WINAPI* AdjustWindowRectExForDpi)(RECT*, DWORD, BOOL, DWORD, UINT) = nullptr;
};

const DpiFunctions& Dpi() {
  static const DpiFunctions functions = [] {
    DpiFunctions f;
    HMODULE user32 = GetModuleHandleW(L"user32.dll");
    if (user32 == nullptr) return f;
    auto find = [user32](auto& slot, const char* name) {
      slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(
          reinterpret_cast<void*>(GetProcAddress(user32, name)));
    };
    find(f.GetDpiForWindow, "GetDpiForWindow");
    find(f.GetDpiForSystem, "GetDpiForSystem");
    find(f.AdjustWindowRectExForDpi, "AdjustWindowRectExForDpi");
    return f;
  }();
  return functions;
}

int SystemDpi() {
  if (Dpi().GetDpiForSystem != nullptr) return UsableDpi(Dpi().GetDpiForSystem());
  HDC screen = GetDC(nullptr);
  const int dpi = screen != nullptr ? GetDeviceCaps(screen, LOGPIXELSY) : kLayoutDpi;
  if (screen != nullptr) ReleaseDC(nullptr, screen);
  return UsableDpi(dpi);
}

// The DPI of the monitor the window is on (per-monitor aware), else the
// system's.
int WindowDpi(HWND hwnd) {
  const UINT dpi = Dpi().GetDpiForWindow != nullptr ? Dpi().GetDpiForWindow(hwnd) : 0;
  return dpi != 0 ? UsableDpi(dpi) : SystemDpi();
}

// The outer size of a window whose client area is width x height pixels.
SIZE FrameSize(DWORD style, int width, int height, int dpi) {
  RECT frame{0, 0, width, height};
  if (Dpi().AdjustWindowRectExForDpi == nullptr ||
      !Dpi().AdjustWindowRectExForDpi(&frame, style, FALSE, 0, static_cast<UINT>(dpi))) {
    AdjustWindowRectEx(&frame, style, FALSE, 0);
  }
  return SIZE{frame.right - frame.left, frame.bottom - frame.top};
}

std::string WithLf(const std::wstring& text) {
  std::wstring out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == L'\r' && i + 1 < text.size() && text[i + 1] == L'\n') continue;
    out += text[i];
  }
  return Narrow(out);
}

class Win32Toolkit final : public Toolkit {
 public:
  Win32Toolkit();
  ~Win32Toolkit() override;
  Win32Toolkit(const Win32Toolkit&) = delete;
  Win32Toolkit& operator=(const Win32Toolkit&) = delete;

  WindowHandle OpenWindow(int client_width, int client_height, std::string_view title,
                          bool minimise_box, WindowHandle owner) override;
  void SetBackgroundColour(WindowHandle window, Rgb colour) override;
  void CloseWindow(WindowHandle window) override;
  void AddTimer(WindowHandle window, int id, int period_ms) override;
  Event WaitEvent() override;
  void PumpEvents() override;
  void RequestTimerEvent(WindowHandle window, int id) override;
  Point PointerPosition(WindowHandle window) override;
  ControlHandle CreateControl(WindowHandle window, ControlKind kind, Rect rect,
                              std::string_view caption) override;
  void SetFont(ControlHandle control, FontHandle font) override;
  void SetTextColour(ControlHandle control, Rgb colour) override;
  void SetText(ControlHandle control, std::string_view text) override;
  void SetChecked(ControlHandle control, bool checked) override;
  std::string GetText(ControlHandle control) override;
  bool IsChecked(ControlHandle control) override;
  void SetEnabled(ControlHandle control, bool enabled) override;
  void Hide(ControlHandle control) override;
  void SetDefaultButton(ControlHandle button) override;
  Rect ControlRect(ControlHandle control) override;
  FontHandle LoadFont(std::string_view face, int points) override;
  bool BeginDraw(ControlHandle canvas) override;
  void EndDraw(ControlHandle canvas) override;
  void SetTransparentTextBackground() override;
  void SelectFont(FontHandle font) override;
  void DrawPicture(PictureHandle picture, int x, int y) override;
  void DrawText(int x, int y, std::string_view text, Rgb colour) override;
  void SetColour(Rgb colour) override;
  void FillRect(Rect rect, Rgb colour) override;
  PictureHandle DecodeJpeg(const std::uint8_t* data, std::size_t size) override;
  void FreePicture(PictureHandle picture) override;
  std::string OpenFileDialog(std::string_view title, std::string_view initial_path,
                             std::string_view filter, int filter_index) override;

  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
  static LRESULT CALLBACK CanvasProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);

  std::vector<LayoutItem> ReportLayout(WindowHandle window);

 private:
  struct WindowRecord {
    HWND hwnd = nullptr;
    // The factor of the monitor the window is on; it changes when the
    // window moves to a monitor with another scale.
    DisplayScale scale;
    HBRUSH background = nullptr;
    COLORREF background_colour = 0;
    // The main window's canvas, which has the keyboard whenever the window
    // is active. Windows without one are windows of controls, driven by the
    // dialog manager (Tab, Shift+Tab, Enter).
    HWND keyboard_home = nullptr;
    HWND default_button = nullptr;
    HWND saved_focus = nullptr;  // the control to give the keyboard back to
  };
  // A decoded picture and the bitmaps made of it, one per size shown.
  struct Picture {
    DecodedPicture source;
    mutable std::map<std::pair<int, int>, HBITMAP> sized;
    ~Picture() {
      for (auto& [size, bitmap] : sized) DeleteObject(bitmap);
    }
    HBITMAP At(int width, int height) const;
  };
  // One drawing call of a canvas, in layout pixels: a frame is painted from
  // its calls, and painted again when the window's scale changes.
  struct DrawCall {
    enum class Kind { kTransparent, kFont, kPicture, kText, kColour, kFill } kind = Kind::kFill;
    int x = 0;
    int y = 0;
    Rect rect;
    std::wstring text;
    COLORREF colour = 0;
    FontHandle font = 0;
    std::shared_ptr<const Picture> picture;  // kept while a frame shows it

    static DrawCall Of(Kind kind, int x = 0, int y = 0) {
      DrawCall call;
      call.kind = kind;
      call.x = x;
      call.y = y;
      return call;
    }
  };
  struct ControlRecord {
    WindowHandle window = 0;
    ControlKind kind = ControlKind::kLabel;
    Rect rect;  // layout pixels
    HWND hwnd = nullptr;
    FontHandle font = 0;  // 0: the default font
    bool has_text_colour = false;
    COLORREF text_colour = 0;
    std::wstring text;  // labels: what FitLabel measures
    // Canvas only: the last complete frame, painted on WM_PAINT.
    std::vector<DrawCall> calls;
    HDC frame_dc = nullptr;
    HBITMAP frame = nullptr;
    HGDIOBJ frame_old = nullptr;
    HGDIOBJ frame_old_font = nullptr;
  };
  // A font at each DPI that a window has needed it at.
  struct FontRecord {
    std::wstring face;
    int points = 0;
    std::map<int, HFONT> at_dpi;
  };

  void Queue(const Event& event);
  void QueueTimer(WindowHandle window, int id);
  WindowHandle WindowOf(HWND hwnd) const;
  ControlHandle ControlOf(HWND hwnd) const;
  WindowRecord* DialogOf(HWND hwnd);
  void GiveKeyboard(WindowRecord& window);
  void FitLabel(ControlRecord& control);
  // CreateControl's second half: the control's record, font and keyboard.
  void RegisterControl(WindowHandle window, WindowRecord& parent, ControlHandle handle,
                       ControlKind kind, Rect rect, HWND hwnd, const ControlClass& chosen);
  ControlRecord* FindControl(ControlHandle control);
  DisplayScale ScaleOf(WindowHandle window) const;
  HFONT FontAt(FontHandle font, int dpi);
  void MakeFrame(ControlRecord& canvas);
  void PaintFrame(ControlRecord& canvas);
  static void DropFrame(ControlRecord& canvas);
  void ApplyDpi(WindowHandle window, int dpi, const RECT* suggested);
  LRESULT HandleWindowMessage(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
  LRESULT HandleCanvasMessage(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
  void DispatchOne(const MSG& msg);

  HINSTANCE instance_ = nullptr;
  int next_handle_ = 1;
  std::map<WindowHandle, WindowRecord> windows_;
  std::map<ControlHandle, ControlRecord> controls_;
  std::map<FontHandle, FontRecord> fonts_;
  FontHandle default_font_ = 0;
  std::map<PictureHandle, std::shared_ptr<const Picture>> pictures_;
  std::deque<Event> events_;
  ControlRecord* drawing_ = nullptr;
  std::vector<DrawCall> recording_;
};

Win32Toolkit* g_toolkit = nullptr;

Win32Toolkit::Win32Toolkit() : instance_(GetModuleHandleW(nullptr)) {
  g_toolkit = this;
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);

  WNDCLASSEXW window_class{};
  window_class.cbSize = sizeof window_class;
  window_class.lpfnWndProc = &Win32Toolkit::WindowProc;
  window_class.hInstance = instance_;
  window_class.hIcon = LoadIconW(instance_, MAKEINTRESOURCEW(kIconResource));
  window_class.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
  window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  window_class.lpszClassName = kWindowClass;
  RegisterClassExW(&window_class);

  WNDCLASSEXW canvas_class{};
  canvas_class.cbSize = sizeof canvas_class;
  canvas_class.style = CS_DBLCLKS;
  canvas_class.lpfnWndProc = &Win32Toolkit::CanvasProc;
  canvas_class.hInstance = instance_;
  canvas_class.hCursor = window_class.hCursor;
  canvas_class.lpszClassName = kCanvasClass;
  RegisterClassExW(&canvas_class);

  // Controls without a font of their own get the dialog face at 8 points,
  // made at the scale of their window.
  LOGFONTW gui{};
  GetObjectW(GetStockObject(DEFAULT_GUI_FONT), sizeof gui, &gui);
  default_font_ = LoadFont(gui.lfFaceName[0] != L'\0' ? Narrow(gui.lfFaceName) : "MS Shell Dlg", 8);
}

Win32Toolkit::~Win32Toolkit() {
  for (auto& [handle, window] : windows_) {
    if (window.hwnd != nullptr) DestroyWindow(window.hwnd);
    if (window.background != nullptr) DeleteObject(window.background);
  }
  for (auto& [handle, control] : controls_) DropFrame(control);
  for (auto& [handle, font] : fonts_) {
    for (auto& [dpi, hfont] : font.at_dpi) DeleteObject(hfont);
  }
  if (g_toolkit == this) g_toolkit = nullptr;
}

WindowHandle Win32Toolkit::OpenWindow(int client_width, int client_height, std::string_view title,
                                      bool minimise_box, WindowHandle owner) {
  DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
  if (minimise_box) style |= WS_MINIMIZEBOX;

  // An owned window opens on its owner's monitor, at its owner's scale.
  HWND owner_hwnd = nullptr;
  int dpi = SystemDpi();
  RECT area{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
  if (auto it = windows_.find(owner); it != windows_.end() && it->second.hwnd != nullptr) {
    owner_hwnd = it->second.hwnd;
    dpi = it->second.scale.dpi();
    GetWindowRect(owner_hwnd, &area);
  } else {
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
  }
  auto place = [&](int at_dpi) {
    const DisplayScale scale(at_dpi);
    const SIZE size =
        FrameSize(style, scale.Scale(client_width), scale.Scale(client_height), at_dpi);
    return Rect{area.left + ((area.right - area.left) - size.cx) / 2,
                area.top + ((area.bottom - area.top) - size.cy) / 2, size.cx, size.cy};
  };
  Rect frame = place(dpi);

  const WindowHandle handle = next_handle_++;
  WindowRecord& record = windows_[handle];
  record.scale = DisplayScale(dpi);
  record.background_colour = GetSysColor(COLOR_BTNFACE);
  record.hwnd = CreateWindowExW(0, kWindowClass, Widen(title).c_str(), style, frame.x, frame.y,
                                frame.width, frame.height, owner_hwnd, nullptr, instance_, nullptr);
  if (record.hwnd == nullptr) {
    windows_.erase(handle);
    return 0;
  }
  // The monitor it landed on may have another scale than was guessed.
  if (const int actual = WindowDpi(record.hwnd); actual != dpi) {
    record.scale = DisplayScale(actual);
    frame = place(actual);
    SetWindowPos(record.hwnd, nullptr, frame.x, frame.y, frame.width, frame.height,
                 SWP_NOZORDER | SWP_NOACTIVATE);
  }
  ShowWindow(record.hwnd, SW_SHOWNORMAL);
  UpdateWindow(record.hwnd);
  return handle;
}

void Win32Toolkit::SetBackgroundColour(WindowHandle window, Rgb colour) {
  auto it = windows_.find(window);
  if (it == windows_.end() || it->second.hwnd == nullptr) return;
  if (it->second.background != nullptr) DeleteObject(it->second.background);
  it->second.background_colour = ToColorRef(colour);
  it->second.background = CreateSolidBrush(it->second.background_colour);
  InvalidateRect(it->second.hwnd, nullptr, TRUE);
}

void Win32Toolkit::CloseWindow(WindowHandle window) {
  auto it = windows_.find(window);
  if (it == windows_.end()) return;
  for (auto c = controls_.begin(); c != controls_.end();) {
    if (c->second.window != window) {
      ++c;
      continue;
    }
    if (drawing_ == &c->second) drawing_ = nullptr;
    DropFrame(c->second);
    c = controls_.erase(c);
  }
  if (it->second.hwnd != nullptr) DestroyWindow(it->second.hwnd);
  if (it->second.background != nullptr) DeleteObject(it->second.background);
  windows_.erase(it);
  // Events of a closed window mean nothing any more.
  std::erase_if(events_, [window](const Event& e) { return e.window == window; });
}

void Win32Toolkit::AddTimer(WindowHandle window, int id, int period_ms) {
  auto it = windows_.find(window);
  if (it == windows_.end() || it->second.hwnd == nullptr) return;
  SetTimer(it->second.hwnd, static_cast<UINT_PTR>(id), static_cast<UINT>(period_ms), nullptr);
}

void Win32Toolkit::DispatchOne(const MSG& msg) {
  if (WindowRecord* dialog = DialogOf(msg.hwnd)) {
    // Escape never closes the settings window: neither the dialog manager
    // (a cancel) nor a multi-line box (a close request) may see it.
    if (msg.message == WM_KEYDOWN && msg.wParam == VK_ESCAPE) return;
    MSG copy = msg;
    if (IsDialogMessageW(dialog->hwnd, &copy)) return;
  }
  TranslateMessage(&msg);
  DispatchMessageW(&msg);
}

Event Win32Toolkit::WaitEvent() {
  while (events_.empty()) {
    MSG msg;
    const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
    if (got == 0 || got == -1) {
      // WM_QUIT or a broken queue: report it as a close request of the first
      // window so that the event loop can end.
      Event e;
      e.kind = EventKind::kCloseRequest;
      e.window = windows_.empty() ? 0 : windows_.begin()->first;
      return e;
    }
    DispatchOne(msg);
  }
  Event e = events_.front();
  events_.pop_front();
  return e;
}

void Win32Toolkit::PumpEvents() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      PostQuitMessage(static_cast<int>(msg.wParam));
      break;
    }
    DispatchOne(msg);
  }
}

void Win32Toolkit::RequestTimerEvent(WindowHandle window, int id) {
  PumpEvents();
  QueueTimer(window, id);
}

Point Win32Toolkit::PointerPosition(WindowHandle window) {
  auto it = windows_.find(window);
  POINT pointer;
  RECT client;
  if (it == windows_.end() || it->second.hwnd == nullptr || !GetCursorPos(&pointer) ||
      !ScreenToClient(it->second.hwnd, &pointer) || !GetClientRect(it->second.hwnd, &client) ||
      !PtInRect(&client, pointer)) {
    return Point{-1, -1};
  }
  return it->second.scale.Unscale(Point{pointer.x, pointer.y});
}

ControlHandle Win32Toolkit::CreateControl(WindowHandle window, ControlKind kind, Rect rect,
                                          std::string_view caption) {
  auto w = windows_.find(window);
  if (w == windows_.end() || w->second.hwnd == nullptr) return 0;
  const ControlClass chosen = ControlClassOf(kind, caption);
  const ControlHandle handle = next_handle_++;
  const Rect device = w->second.scale.Scale(rect);
  HWND hwnd = CreateWindowExW(
      chosen.ex_style, chosen.window_class, chosen.text.c_str(), chosen.style, device.x, device.y,
      device.width, device.height, w->second.hwnd,
      reinterpret_cast<HMENU>(static_cast<INT_PTR>(kFirstControlId + handle)), instance_, nullptr);
  if (hwnd == nullptr) return 0;
  RegisterControl(window, w->second, handle, kind, rect, hwnd, chosen);
  return handle;
}

void Win32Toolkit::RegisterControl(WindowHandle window, WindowRecord& parent, ControlHandle handle,
                                   ControlKind kind, Rect rect, HWND hwnd,
                                   const ControlClass& chosen) {
  ControlRecord& record = controls_[handle];
  record.window = window;
  record.kind = kind;
  record.rect = rect;
  record.hwnd = hwnd;
  SendMessageW(hwnd, WM_SETFONT,
               reinterpret_cast<WPARAM>(FontAt(default_font_, parent.scale.dpi())), 0);
  if (kind == ControlKind::kCanvas) {
    MakeFrame(record);
    PaintFrame(record);
    parent.keyboard_home = hwnd;
    SetFocus(hwnd);  // key presses go to the canvas
  } else if (parent.keyboard_home == nullptr && (chosen.style & WS_TABSTOP) &&
             GetFocus() == parent.hwnd) {
    // A window of controls that has just opened: the first tab stop takes
    // the keyboard, as in a dialog.
    SetFocus(hwnd);
  }
  if (kind == ControlKind::kLabel || kind == ControlKind::kLabelCentred) {
    record.text = chosen.text;
    FitLabel(record);
  }
}

Win32Toolkit::ControlRecord* Win32Toolkit::FindControl(ControlHandle control) {
  auto it = controls_.find(control);
  return it == controls_.end() ? nullptr : &it->second;
}

void Win32Toolkit::SetFont(ControlHandle control, FontHandle font) {
  ControlRecord* c = FindControl(control);
  if (c == nullptr || !fonts_.count(font)) return;
  c->font = font;
  SendMessageW(c->hwnd, WM_SETFONT,
               reinterpret_cast<WPARAM>(FontAt(font, ScaleOf(c->window).dpi())), TRUE);
  FitLabel(*c);
}

void Win32Toolkit::SetTextColour(ControlHandle control, Rgb colour) {
  ControlRecord* c = FindControl(control);
  if (c == nullptr) return;
  c->has_text_colour = true;
  c->text_colour = ToColorRef(colour);
  InvalidateRect(c->hwnd, nullptr, TRUE);
}

void Win32Toolkit::SetText(ControlHandle control, std::string_view text) {
  ControlRecord* c = FindControl(control);
  if (c == nullptr) return;
  const bool multi_line =
      c->kind == ControlKind::kReadOnlyBox || c->kind == ControlKind::kEditableBox;
  const std::wstring wide = multi_line ? WithCrLf(text) : Widen(text);
  SetWindowTextW(c->hwnd, wide.c_str());
  if (c->kind == ControlKind::kLabel || c->kind == ControlKind::kLabelCentred) {
    c->text = wide;
    FitLabel(*c);
  }
}

void Win32Toolkit::SetChecked(ControlHandle control, bool checked) {
  ControlRecord* c = FindControl(control);
  if (c == nullptr) return;
  SendMessageW(c->hwnd, BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
}

std::string Win32Toolkit::GetText(ControlHandle control) {
  ControlRecord* c = FindControl(control);
  if (c == nullptr) return {};
  const int length = GetWindowTextLengthW(c->hwnd);
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  const int got = GetWindowTextW(c->hwnd, text.data(), length + 1);
  text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
  return WithLf(text);
}

bool Win32Toolkit::IsChecked(ControlHandle control) {
  ControlRecord* c = FindControl(control);
  return c != nullptr && SendMessageW(c->hwnd, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void Win32Toolkit::SetEnabled(ControlHandle control, bool enabled) {
  if (ControlRecord* c = FindControl(control)) EnableWindow(c->hwnd, enabled ? TRUE : FALSE);
}

void Win32Toolkit::Hide(ControlHandle control) {
  if (ControlRecord* c = FindControl(control)) ShowWindow(c->hwnd, SW_HIDE);
}

void Win32Toolkit::SetDefaultButton(ControlHandle button) {
  ControlRecord* c = FindControl(button);
  if (c == nullptr || c->kind != ControlKind::kPushButton) return;
  auto w = windows_.find(c->window);
  if (w == windows_.end()) return;
  w->second.default_button = c->hwnd;
  SendMessageW(c->hwnd, BM_SETSTYLE, BS_DEFPUSHBUTTON, TRUE);
}

// A label that is one line high stays one line: it grows to its text's
// width (centred labels on both sides) instead of wrapping or losing its
// last characters when the font is wider than the one it was laid out for.
void Win32Toolkit::FitLabel(ControlRecord& control) {
  if (control.kind != ControlKind::kLabel && control.kind != ControlKind::kLabelCentred) return;
  HFONT font = reinterpret_cast<HFONT>(SendMessageW(control.hwnd, WM_GETFONT, 0, 0));
  HDC dc = GetDC(control.hwnd);
  if (dc == nullptr) return;
  HGDIOBJ old = SelectObject(dc, font != nullptr ? font : GetStockObject(DEFAULT_GUI_FONT));
  TEXTMETRICW metrics{};
  SIZE extent{};
  const bool measured = GetTextMetricsW(dc, &metrics) &&
                        GetTextExtentPoint32W(dc, control.text.c_str(),
                                              static_cast<int>(control.text.size()), &extent);
  SelectObject(dc, old);
  ReleaseDC(control.hwnd, dc);
  if (!measured) return;
  const Rect r = ScaleOf(control.window).Scale(control.rect);
  // Boxes two lines high or more are meant to wrap (the FLTK backend's rule).
  const bool one_line = r.height * 2 < metrics.tmHeight * 5;
  if (control.kind == ControlKind::kLabel) {
    LONG_PTR style = GetWindowLongPtrW(control.hwnd, GWL_STYLE);
    style =
        (style & ~static_cast<LONG_PTR>(SS_TYPEMASK)) | (one_line ? SS_LEFTNOWORDWRAP : SS_LEFT);
    SetWindowLongPtrW(control.hwnd, GWL_STYLE, style);
  }
  // A pixel on either side: a text exactly as wide as the box still wraps.
  const int width = one_line ? std::max(r.width, static_cast<int>(extent.cx) + 2) : r.width;
  const int x = control.kind == ControlKind::kLabelCentred ? r.x - (width - r.width) / 2 : r.x;
  SetWindowPos(control.hwnd, nullptr, x, r.y, width, r.height, SWP_NOZORDER | SWP_NOACTIVATE);
  InvalidateRect(control.hwnd, nullptr, TRUE);
}

Rect Win32Toolkit::ControlRect(ControlHandle control) {
  ControlRecord* c = FindControl(control);
  return c == nullptr ? Rect{} : c->rect;
}

FontHandle Win32Toolkit::LoadFont(std::string_view face, int points) {
  if (points <= 0) return 0;
  const FontHandle handle = next_handle_++;
  fonts_[handle] = FontRecord{Widen(face), points, {}};
  // Made at the system's scale now, so that a face that cannot be made
  // fails here, as the caller expects.
  if (FontAt(handle, SystemDpi()) == nullptr) {
    fonts_.erase(handle);
    return 0;
  }
  return handle;
}

HFONT Win32Toolkit::FontAt(FontHandle font, int dpi) {
  auto f = fonts_.find(font);
  if (f == fonts_.end()) f = fonts_.find(default_font_);
  if (f == fonts_.end()) return static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
  if (auto made = f->second.at_dpi.find(dpi); made != f->second.at_dpi.end()) return made->second;
  LOGFONTW description{};
  description.lfHeight = -DisplayScale(dpi).FontPixels(f->second.points);
  description.lfWeight = FW_NORMAL;
  description.lfCharSet = DEFAULT_CHARSET;
  description.lfQuality = CLEARTYPE_QUALITY;
  wcsncpy(description.lfFaceName, f->second.face.c_str(), LF_FACESIZE - 1);
  HFONT made = CreateFontIndirectW(&description);
  if (made != nullptr) f->second.at_dpi[dpi] = made;
  return made;
}

DisplayScale Win32Toolkit::ScaleOf(WindowHandle window) const {
  auto it = windows_.find(window);
  return it == windows_.end() ? DisplayScale() : it->second.scale;
}

// The canvas's bitmap, as large as the canvas shows at its window's scale.
void Win32Toolkit::MakeFrame(ControlRecord& canvas) {
  const Rect device = ScaleOf(canvas.window).Scale(canvas.rect);
  HDC screen = GetDC(canvas.hwnd);
  if (canvas.frame_dc == nullptr) {
    canvas.frame_dc = CreateCompatibleDC(screen);
    canvas.frame_old_font = GetCurrentObject(canvas.frame_dc, OBJ_FONT);
  }
  HBITMAP bitmap =
      CreateCompatibleBitmap(screen, std::max(device.width, 1), std::max(device.height, 1));
  ReleaseDC(canvas.hwnd, screen);
  HGDIOBJ previous = SelectObject(canvas.frame_dc, bitmap);
  if (canvas.frame != nullptr) {
    DeleteObject(canvas.frame);
  } else {
    canvas.frame_old = previous;
  }
  canvas.frame = bitmap;
}

void Win32Toolkit::DropFrame(ControlRecord& canvas) {
  if (canvas.frame_dc == nullptr) return;
  SelectObject(canvas.frame_dc, canvas.frame_old_font);
  SelectObject(canvas.frame_dc, canvas.frame_old);
  DeleteObject(canvas.frame);
  DeleteDC(canvas.frame_dc);
  canvas.frame_dc = nullptr;
  canvas.frame = nullptr;
}

// Paints the canvas's last frame into its bitmap at its window's scale.
void Win32Toolkit::PaintFrame(ControlRecord& canvas) {
  HDC dc = canvas.frame_dc;
  if (dc == nullptr) return;
  const DisplayScale scale = ScaleOf(canvas.window);
  const Rect device = scale.Scale(canvas.rect);
  RECT all{0, 0, device.width, device.height};
  ::FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
  SetBkMode(dc, OPAQUE);
  SelectObject(dc, FontAt(default_font_, scale.dpi()));
  for (const DrawCall& call : canvas.calls) {
    switch (call.kind) {
      case DrawCall::Kind::kTransparent:
        SetBkMode(dc, TRANSPARENT);
        break;
      case DrawCall::Kind::kFont:
        SelectObject(dc, FontAt(call.font, scale.dpi()));
        break;
      case DrawCall::Kind::kPicture: {
        const DecodedPicture& picture = call.picture->source;
        const Rect to = scale.Scale(Rect{call.x, call.y, picture.width, picture.height});
        HBITMAP bitmap = call.picture->At(to.width, to.height);
        if (bitmap == nullptr) break;
        HDC source = CreateCompatibleDC(dc);
        HGDIOBJ old = SelectObject(source, bitmap);
        BitBlt(dc, to.x, to.y, to.width, to.height, source, 0, 0, SRCCOPY);
        SelectObject(source, old);
        DeleteDC(source);
        break;
      }
      case DrawCall::Kind::kText:
        SetTextColor(dc, call.colour);
        TextOutW(dc, scale.Scale(call.x), scale.Scale(call.y), call.text.c_str(),
                 static_cast<int>(call.text.size()));
        break;
      case DrawCall::Kind::kColour:
        SetBkColor(dc, call.colour);
        break;
      case DrawCall::Kind::kFill: {
        const Rect to = scale.Scale(call.rect);
        RECT area{to.x, to.y, to.x + to.width, to.y + to.height};
        HBRUSH brush = CreateSolidBrush(call.colour);
        ::FillRect(dc, &area, brush);
        DeleteObject(brush);
        break;
      }
    }
  }
}

bool Win32Toolkit::BeginDraw(ControlHandle canvas) {
  ControlRecord* c = FindControl(canvas);
  if (c == nullptr || c->frame_dc == nullptr) return false;
  drawing_ = c;
  recording_.clear();
  return true;
}

void Win32Toolkit::EndDraw(ControlHandle canvas) {
  ControlRecord* c = FindControl(canvas);
  if (c == nullptr || c != drawing_) return;
  drawing_ = nullptr;
  c->calls = std::move(recording_);
  recording_.clear();
  PaintFrame(*c);
  InvalidateRect(c->hwnd, nullptr, FALSE);
  UpdateWindow(c->hwnd);
}

void Win32Toolkit::SetTransparentTextBackground() {
  if (drawing_ != nullptr) recording_.push_back(DrawCall::Of(DrawCall::Kind::kTransparent));
}

void Win32Toolkit::SelectFont(FontHandle font) {
  if (drawing_ == nullptr || !fonts_.count(font)) return;
  DrawCall call = DrawCall::Of(DrawCall::Kind::kFont);
  call.font = font;
  recording_.push_back(std::move(call));
}

void Win32Toolkit::DrawPicture(PictureHandle picture, int x, int y) {
  auto p = pictures_.find(picture);
  if (drawing_ == nullptr || p == pictures_.end()) return;
  DrawCall call = DrawCall::Of(DrawCall::Kind::kPicture, x, y);
  call.picture = p->second;
  recording_.push_back(std::move(call));
}

void Win32Toolkit::DrawText(int x, int y, std::string_view text, Rgb colour) {
  if (drawing_ == nullptr) return;
  DrawCall call = DrawCall::Of(DrawCall::Kind::kText, x, y);
  call.text = Widen(text);
  call.colour = ToColorRef(colour);
  recording_.push_back(std::move(call));
}

void Win32Toolkit::SetColour(Rgb colour) {
  if (drawing_ == nullptr) return;
  DrawCall call = DrawCall::Of(DrawCall::Kind::kColour);
  call.colour = ToColorRef(colour);
  recording_.push_back(std::move(call));
}

void Win32Toolkit::FillRect(Rect rect, Rgb colour) {
  if (drawing_ == nullptr) return;
  DrawCall call = DrawCall::Of(DrawCall::Kind::kFill);
  call.rect = rect;
  call.colour = ToColorRef(colour);
  recording_.push_back(std::move(call));
}

// The picture at that size, made once with the smooth filter.
HBITMAP Win32Toolkit::Picture::At(int width, int height) const {
  if (auto made = sized.find({width, height}); made != sized.end()) return made->second;
  const DecodedPicture scaled = width == source.width && height == source.height
                                    ? source
                                    : ScalePicture(source, width, height);
  if (scaled.width <= 0 || scaled.height <= 0) return nullptr;
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = scaled.width;
  info.bmiHeader.biHeight = -scaled.height;  // top row first
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (bitmap == nullptr || bits == nullptr) return nullptr;
  auto* out = static_cast<std::uint8_t*>(bits);
  const std::size_t pixels =
      static_cast<std::size_t>(scaled.width) * static_cast<std::size_t>(scaled.height);
  for (std::size_t i = 0; i < pixels; ++i) {
    out[i * 4 + 0] = scaled.rgb[i * 3 + 2];
    out[i * 4 + 1] = scaled.rgb[i * 3 + 1];
    out[i * 4 + 2] = scaled.rgb[i * 3 + 0];
    out[i * 4 + 3] = 0;
  }
  sized[{width, height}] = bitmap;
  return bitmap;
}

PictureHandle Win32Toolkit::DecodeJpeg(const std::uint8_t* data, std::size_t size) {
  std::optional<DecodedPicture> decoded = DecodePicture(data, size);
  if (!decoded || decoded->width <= 0 || decoded->height <= 0) return 0;
  auto picture = std::make_shared<Picture>();
  picture->source = std::move(*decoded);
  if (picture->At(picture->source.width, picture->source.height) == nullptr) return 0;
  const PictureHandle handle = next_handle_++;
  pictures_[handle] = std::move(picture);
  return handle;
}

void Win32Toolkit::FreePicture(PictureHandle picture) {
  pictures_.erase(picture);
}

std::string Win32Toolkit::OpenFileDialog(std::string_view title, std::string_view initial_path,
                                         std::string_view filter, int filter_index) {
  // "label|pattern" becomes "label\0pattern\0\0".
  std::wstring filters = Widen(filter);
  for (wchar_t& c : filters) {
    if (c == L'|') c = L'\0';
  }
  filters.append(2, L'\0');
  std::wstring folder;
  std::vector<wchar_t> file(32768, L'\0');
  if (IsDirectory(initial_path)) {
    folder = Widen(initial_path);
  } else if (!initial_path.empty()) {
    const std::wstring initial = Widen(initial_path);
    initial.copy(file.data(), file.size() - 1);
  }
  const std::wstring caption = Widen(title);
  OPENFILENAMEW dialog{};
  dialog.lStructSize = sizeof dialog;
  dialog.hwndOwner = GetActiveWindow();
  dialog.lpstrFilter = filter.empty() ? nullptr : filters.c_str();
  dialog.nFilterIndex = static_cast<DWORD>(filter_index);
  dialog.lpstrFile = file.data();
  dialog.nMaxFile = static_cast<DWORD>(file.size());
  dialog.lpstrInitialDir = folder.empty() ? nullptr : folder.c_str();
  dialog.lpstrTitle = caption.empty() ? nullptr : caption.c_str();
  dialog.Flags = OFN_EXPLORER | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR | OFN_HIDEREADONLY;
  if (!GetOpenFileNameW(&dialog)) return {};
  return Narrow(file.data());
}

void Win32Toolkit::ApplyDpi(WindowHandle window, int dpi, const RECT* suggested) {
  auto w = windows_.find(window);
  if (w == windows_.end() || w->second.hwnd == nullptr) return;
  w->second.scale = DisplayScale(UsableDpi(dpi));
  if (suggested != nullptr) {
    SetWindowPos(w->second.hwnd, nullptr, suggested->left, suggested->top,
                 suggested->right - suggested->left, suggested->bottom - suggested->top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
  }
  for (auto& [handle, control] : controls_) {
    if (control.window != window) continue;
    const Rect device = w->second.scale.Scale(control.rect);
    SetWindowPos(control.hwnd, nullptr, device.x, device.y, device.width, device.height,
                 SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOREDRAW);
    SendMessageW(control.hwnd, WM_SETFONT,
                 reinterpret_cast<WPARAM>(FontAt(control.font, w->second.scale.dpi())), FALSE);
    FitLabel(control);
    if (control.kind == ControlKind::kCanvas) {
      MakeFrame(control);
      PaintFrame(control);
    }
  }
  // The background anew under the controls too: frames paint no inside of
  // their own and would keep the old picture. Then every control.
  HWND hwnd = w->second.hwnd;
  const LONG_PTR style = GetWindowLongPtrW(hwnd, GWL_STYLE);
  SetWindowLongPtrW(hwnd, GWL_STYLE, style & ~static_cast<LONG_PTR>(WS_CLIPCHILDREN));
  RedrawWindow(hwnd, nullptr, nullptr, RDW_ERASE | RDW_FRAME | RDW_INVALIDATE | RDW_ERASENOW);
  SetWindowLongPtrW(hwnd, GWL_STYLE, style);
  RedrawWindow(hwnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN | RDW_UPDATENOW);
}

std::vector<LayoutItem> Win32Toolkit::ReportLayout(WindowHandle window) {
  std::vector<LayoutItem> items;
  auto w = windows_.find(window);
  if (w == windows_.end() || w->second.hwnd == nullptr) return items;
  const DisplayScale scale = w->second.scale;
  // Texts measured with the font the control or the frame uses.
  auto measure = [](HDC dc, HFONT font, const std::wstring& text, int wrap_width, int& width,
                    int& height) {
    HGDIOBJ old = SelectObject(dc, font);
    TEXTMETRICW metrics{};
    GetTextMetricsW(dc, &metrics);
    SIZE extent{};
    GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &extent);
    width = extent.cx;
    height = metrics.tmHeight;
    if (wrap_width > 0) {
      RECT wrapped{0, 0, wrap_width, 0};
      ::DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &wrapped,
                  DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
      width = wrapped.right;
      height = wrapped.bottom;
    }
    SelectObject(dc, old);
  };
  HDC dc = GetDC(w->second.hwnd);
  for (const auto& [handle, control] : controls_) {
    if (control.window != window || !IsWindowVisible(control.hwnd)) continue;
    if (control.kind == ControlKind::kCanvas) {
      HFONT font = FontAt(default_font_, scale.dpi());
      for (const DrawCall& call : control.calls) {
        LayoutItem drawn;
        if (call.kind == DrawCall::Kind::kFont) font = FontAt(call.font, scale.dpi());
        if (call.kind == DrawCall::Kind::kFill) {
          drawn.kind = "fill";
          drawn.box = scale.Scale(call.rect);
        } else if (call.kind == DrawCall::Kind::kText) {
          drawn.kind = "text";
          drawn.text = Narrow(call.text);
          measure(dc, font, call.text, 0, drawn.text_width, drawn.text_height);
          drawn.box =
              Rect{scale.Scale(call.x), scale.Scale(call.y), drawn.text_width, drawn.text_height};
        } else {
          continue;
        }
        drawn.area = drawn.box;
        items.push_back(std::move(drawn));
      }
      continue;
    }
    if (control.kind == ControlKind::kFrame || control.kind == ControlKind::kReadOnlyBox ||
        control.kind == ControlKind::kEditableBox) {
      continue;
    }
    LayoutItem item;
    item.layout = control.rect;
    RECT at;
    GetWindowRect(control.hwnd, &at);
    MapWindowPoints(nullptr, w->second.hwnd, reinterpret_cast<POINT*>(&at), 2);
    item.box = Rect{at.left, at.top, at.right - at.left, at.bottom - at.top};
    item.area = item.box;
    const int length = GetWindowTextLengthW(control.hwnd);
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    text.resize(static_cast<std::size_t>(
        std::max(GetWindowTextW(control.hwnd, text.data(), length + 1), 0)));
    item.text = Narrow(text);
    const LONG_PTR style = GetWindowLongPtrW(control.hwnd, GWL_STYLE);
    bool wrap = false;
    switch (control.kind) {
      case ControlKind::kPushButton: {
        item.kind = "button";
        // The button's edges, two pixels at 100 %.
        const int edge = scale.Scale(2);
        item.area = Rect{item.box.x + edge, item.box.y, item.box.width - 2 * edge, item.box.height};
        break;
      }
      case ControlKind::kCheckBox:
      case ControlKind::kOptionButton: {
        item.kind = control.kind == ControlKind::kCheckBox ? "check" : "option";
        // The mark and the gap after it: 13 and 6 pixels at 100 %.
        const int mark = scale.Scale(13 + 6);
        item.area = Rect{item.box.x + mark, item.box.y, item.box.width - mark, item.box.height};
        break;
      }
      case ControlKind::kField:
        item.kind = "field";
        break;
      default:
        item.kind = "label";
        wrap = (style & SS_TYPEMASK) != SS_LEFTNOWORDWRAP && control.kind == ControlKind::kLabel;
        break;
    }
    HFONT font = reinterpret_cast<HFONT>(SendMessageW(control.hwnd, WM_GETFONT, 0, 0));
    measure(dc, font, text, wrap ? item.area.width : 0, item.text_width, item.text_height);
    items.push_back(std::move(item));
  }
  ReleaseDC(w->second.hwnd, dc);
  return items;
}

void Win32Toolkit::Queue(const Event& event) {
  events_.push_back(event);
}

void Win32Toolkit::QueueTimer(WindowHandle window, int id) {
  // A step that blocks must not come back to a pile of timer events.
  for (const Event& e : events_) {
    if (e.kind == EventKind::kTimer && e.window == window && e.timer_id == id) return;
  }
  Event e;
  e.kind = EventKind::kTimer;
  e.window = window;
  e.timer_id = id;
  Queue(e);
}

WindowHandle Win32Toolkit::WindowOf(HWND hwnd) const {
  for (const auto& [handle, window] : windows_) {
    if (window.hwnd == hwnd) return handle;
  }
  return 0;
}

ControlHandle Win32Toolkit::ControlOf(HWND hwnd) const {
  for (const auto& [handle, control] : controls_) {
    if (control.hwnd == hwnd) return handle;
  }
  return 0;
}

Win32Toolkit::WindowRecord* Win32Toolkit::DialogOf(HWND hwnd) {
  HWND top = hwnd != nullptr ? GetAncestor(hwnd, GA_ROOT) : nullptr;
  if (top == nullptr) return nullptr;
  for (auto& [handle, window] : windows_) {
    if (window.hwnd == top) return window.keyboard_home == nullptr ? &window : nullptr;
  }
  return nullptr;
}

void Win32Toolkit::GiveKeyboard(WindowRecord& window) {
  HWND target = window.keyboard_home;
  if (target == nullptr) {
    target = window.saved_focus;
    if (target == nullptr || !IsChild(window.hwnd, target) || !IsWindowEnabled(target)) {
      target = GetNextDlgTabItem(window.hwnd, nullptr, FALSE);
    }
  }
  if (target != nullptr && IsWindowVisible(target)) SetFocus(target);
}

LRESULT Win32Toolkit::HandleWindowMessage(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  const WindowHandle window = WindowOf(hwnd);
  auto record = windows_.find(window);
  switch (message) {
    case WM_ACTIVATE:
      if (record == windows_.end()) break;
      if (LOWORD(wparam) == WA_INACTIVE) {
        HWND focus = GetFocus();
        if (focus != nullptr && IsChild(hwnd, focus)) record->second.saved_focus = focus;
        break;
      }
      // Not only after a click: after the settings window, Alt+Tab and
      // restoring, the canvas (or the last control) has the keyboard.
      if (HIWORD(wparam) != 0) break;  // minimised: focus comes on restore
      GiveKeyboard(record->second);
      if (GetFocus() != nullptr && IsChild(hwnd, GetFocus())) return 0;
      break;
    case WM_SETFOCUS:
      // The window itself got the keyboard (restored, or activated while
      // minimised): pass it on.
      if (record != windows_.end()) GiveKeyboard(record->second);
      return 0;
    case DM_GETDEFID: {
      // Asked by the dialog manager for Enter: the focused push button, else
      // the default one.
      if (record == windows_.end()) break;
      HWND button = record->second.default_button;
      const ControlHandle focused = ControlOf(GetFocus());
      if (auto f = controls_.find(focused); f != controls_.end() && f->second.window == window &&
                                            f->second.kind == ControlKind::kPushButton) {
        button = f->second.hwnd;
      }
      if (button == nullptr || !IsWindowEnabled(button)) return 0;
      return MAKELRESULT(GetDlgCtrlID(button), DC_HASDEFID);
    }
    case WM_NEXTDLGCTL: {
      // Sent by a multi-line box for Tab: move on as the dialog manager does.
      HWND next = LOWORD(lparam) != 0 ? reinterpret_cast<HWND>(wparam)
                                      : GetNextDlgTabItem(hwnd, GetFocus(), wparam != 0);
      if (next != nullptr) SetFocus(next);
      return 0;
    }
    case WM_CLOSE: {
      // Only a request: the program decides whether and when to close.
      Event e;
      e.kind = EventKind::kCloseRequest;
      e.window = window;
      Queue(e);
      return 0;
    }
    case WM_TIMER:
      if (window != 0) QueueTimer(window, static_cast<int>(wparam));
      return 0;
    case WM_DPICHANGED:
      // Moved to a monitor with another scale: the suggested rectangle keeps
      // the window where the user dragged it.
      if (window != 0) {
        ApplyDpi(window, HIWORD(wparam), reinterpret_cast<const RECT*>(lparam));
        return 0;
      }
      break;
    case WM_COMMAND: {
      const ControlHandle control = ControlOf(reinterpret_cast<HWND>(lparam));
      auto c = controls_.find(control);
      // An option button reached with Tab announces itself as clicked while
      // it stays unchecked; only a real click (which checks it) counts.
      if (c != controls_.end() && c->second.kind == ControlKind::kOptionButton &&
          SendMessageW(c->second.hwnd, BM_GETCHECK, 0, 0) != BST_CHECKED) {
        return 0;
      }
      if (control != 0 && HIWORD(wparam) == BN_CLICKED) {
        Event e;
        e.kind = EventKind::kControl;
        e.window = window;
        e.control = control;
        e.type = ControlEventType::kLeftClick;
        Queue(e);
      }
      return 0;
    }
    case WM_ERASEBKGND: {
      auto it = windows_.find(window);
      if (it == windows_.end() || it->second.background == nullptr) break;
      RECT client;
      GetClientRect(hwnd, &client);
      ::FillRect(reinterpret_cast<HDC>(wparam), &client, it->second.background);
      return 1;
    }
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLOREDIT: {
      HDC dc = reinterpret_cast<HDC>(wparam);
      const ControlHandle control = ControlOf(reinterpret_cast<HWND>(lparam));
      auto c = controls_.find(control);
      auto it = windows_.find(window);
      const bool is_box = c != controls_.end() && (c->second.kind == ControlKind::kReadOnlyBox ||
                                                   c->second.kind == ControlKind::kEditableBox);
      LRESULT brush = 0;
      if (it == windows_.end() || it->second.background == nullptr || is_box) {
        // The default sets the system's text colour, so ours goes on after it.
        brush = DefWindowProcW(hwnd, message, wparam, lparam);
      } else {
        SetBkColor(dc, it->second.background_colour);
        brush = reinterpret_cast<LRESULT>(it->second.background);
      }
      if (c != controls_.end() && c->second.has_text_colour) {
        SetTextColor(dc, c->second.text_colour);
      }
      return brush;
    }
    default:
      break;
  }
  return DefWindowProcW(hwnd, message, wparam, lparam);
}

LRESULT Win32Toolkit::HandleCanvasMessage(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  const ControlHandle control = ControlOf(hwnd);
  auto c = controls_.find(control);
  switch (message) {
    case WM_PAINT: {
      PAINTSTRUCT paint;
      HDC dc = BeginPaint(hwnd, &paint);
      if (c != controls_.end() && c->second.frame_dc != nullptr) {
        const Rect device = ScaleOf(c->second.window).Scale(c->second.rect);
        BitBlt(dc, 0, 0, device.width, device.height, c->second.frame_dc, 0, 0, SRCCOPY);
      }
      EndPaint(hwnd, &paint);
      return 0;
    }
    case WM_ERASEBKGND:
      return 1;  // the frame covers everything
    case WM_GETDLGCODE:
      return DLGC_WANTARROWS | DLGC_WANTALLKEYS;
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK:
    case WM_KEYDOWN: {
      if (c == controls_.end()) break;
      if (message != WM_KEYDOWN) SetFocus(hwnd);
      Event e;
      e.kind = EventKind::kControl;
      e.window = c->second.window;
      e.control = control;
      if (message == WM_KEYDOWN) {
        e.type = ControlEventType::kKeyPress;
        e.key = static_cast<int>(wparam);
      } else {
        e.type = ControlEventType::kLeftClick;
      }
      Queue(e);
      return 0;
    }
    default:
      break;
  }
  return DefWindowProcW(hwnd, message, wparam, lparam);
}

LRESULT CALLBACK Win32Toolkit::WindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  if (g_toolkit == nullptr) return DefWindowProcW(hwnd, message, wparam, lparam);
  return g_toolkit->HandleWindowMessage(hwnd, message, wparam, lparam);
}

LRESULT CALLBACK Win32Toolkit::CanvasProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  if (g_toolkit == nullptr) return DefWindowProcW(hwnd, message, wparam, lparam);
  return g_toolkit->HandleCanvasMessage(hwnd, message, wparam, lparam);
}

}  // namespace

std::unique_ptr<Toolkit> MakeWin32Toolkit() {
  return std::make_unique<Win32Toolkit>();
}

std::vector<LayoutItem> ReportWin32Layout(Toolkit& toolkit, WindowHandle window) {
  return static_cast<Win32Toolkit&>(toolkit).ReportLayout(window);
}

}  // namespace kanade
