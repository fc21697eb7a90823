// The toolkit on FLTK 1.3: real windows, controls, fonts and drawing.
// FLTK's callbacks only queue events; the program handles them when it asks
// WaitEvent for the next one, so nothing of ours runs inside FLTK. The
// layout is shown at the screen's DPI (ui/display_scale.h).
#pragma once

#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ui/display_scale.h"
#include "ui/layout_report.h"
#include "ui/toolkit.h"

class Fl_Double_Window;
class Fl_RGB_Image;
class Fl_Text_Buffer;
class Fl_Widget;

namespace kanade {

class FltkCanvas;
class FltkWindow;

class FltkToolkit : public Toolkit {
 public:
  FltkToolkit();
  ~FltkToolkit() override;
  FltkToolkit(const FltkToolkit&) = delete;
  FltkToolkit& operator=(const FltkToolkit&) = delete;

  /// Whether the window system could be reached; without it no window opens.
  bool DisplayAvailable() const { return display_ok_; }

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
  /// Multi-line boxes take CR LF, CR or LF line ends and give LF back.
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

  /// The face a LoadFont call resolved to (for diagnostics and tests).
  std::string FontFace(FontHandle font) const;
  /// The pixel height a LoadFont call resolved to.
  int FontPixels(FontHandle font) const;
  /// The factor every size is shown at.
  const DisplayScale& Scale() const { return scale_; }
  /// The window's texts and boxes as shown (for tests).
  std::vector<LayoutItem> ReportLayout(WindowHandle window);

  // What FLTK's callbacks call; public for them, not for the program.
  void QueueEvent(const Event& event);
  void QueueTimer(WindowHandle window, int id);
  WindowHandle WindowOf(const Fl_Widget* window) const;

  /// One drawing call recorded between BeginDraw and EndDraw, in device
  /// pixels; the canvas replays the last complete frame whenever FLTK asks
  /// it to draw.
  struct DrawCall {
    enum class Kind { kPicture, kText, kColour, kFill } kind = Kind::kFill;
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    Rgb colour;
    std::string text;
    int font = 0;  // FLTK font index
    int size = 0;  // pixels
    std::shared_ptr<Fl_RGB_Image> picture;
  };

 private:
  struct Timer;
  struct WindowRecord {
    FltkWindow* window = nullptr;
    WindowHandle owner = 0;
    std::map<int, std::unique_ptr<Timer>> timers;
  };
  struct ControlRecord {
    WindowHandle window = 0;
    ControlKind kind = ControlKind::kLabel;
    Rect rect;
    std::string caption;
    Fl_Widget* widget = nullptr;
    Fl_Text_Buffer* buffer = nullptr;  // multi-line boxes
  };
  struct FontRecord {
    std::string face;
    int index = 0;
    int pixels = 0;
  };

  // CreateControl's two halves: the widget of `kind`, captioned (with its
  // text buffer for the text boxes), then its place in `parent` and in
  // controls_, its font and the keyboard.
  Fl_Widget* MakeWidget(ControlKind kind, Rect rect, ControlHandle handle, const std::string& text,
                        const FltkWindow& parent, Fl_Text_Buffer** buffer);
  void RegisterControl(WindowHandle window, FltkWindow& parent, ControlHandle handle,
                       ControlKind kind, Rect rect, const std::string& text, Fl_Widget* widget,
                       Fl_Text_Buffer* buffer);
  ControlRecord* FindControl(ControlHandle control);
  void ApplyFont(ControlRecord& control, const FontRecord& font);
  void FitLabel(ControlRecord& control);
  void DropTimers(WindowRecord& window);

  bool display_ok_ = false;
  DisplayScale scale_;
  int next_handle_ = 1;
  int next_font_index_ = 0;
  std::map<WindowHandle, WindowRecord> windows_;
  std::map<ControlHandle, ControlRecord> controls_;
  std::map<FontHandle, FontRecord> fonts_;
  std::map<std::string, int> font_indexes_;  // resolved face -> FLTK index
  FontRecord default_font_;
  std::map<PictureHandle, std::shared_ptr<Fl_RGB_Image>> pictures_;
  std::deque<Event> events_;

  // The frame being recorded.
  FltkCanvas* drawing_canvas_ = nullptr;
  std::vector<DrawCall> frame_;
  int current_font_ = 0;
  int current_size_ = 0;
};

/// The FLTK toolkit, or nothing when no display can be opened.
std::unique_ptr<Toolkit> MakeFltkToolkit();

}  // namespace kanade
