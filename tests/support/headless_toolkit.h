// A toolkit without a window system: it records windows, controls and every
// drawing call, and lets a test queue events, place the pointer, answer the
// file dialog and drive the clock. Like the real backends it shows the layout
// at a display scale (96 DPI unless a test asks for another), and records
// the device sizes beside the layout ones.
#pragma once

#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "ui/display_scale.h"
#include "ui/toolkit.h"
#include "util/clock.h"

namespace kanade {

class HeadlessToolkit : public Toolkit {
 public:
  struct Window {
    int width = 0;
    int height = 0;
    int device_width = 0;
    int device_height = 0;
    std::string title;
    bool minimise_box = false;
    WindowHandle owner = 0;
    Rgb background;
    bool open = true;
    std::map<int, int> timers;  // id -> period
  };
  struct Control {
    WindowHandle window = 0;
    ControlKind kind = ControlKind::kLabel;
    Rect rect;
    Rect device_rect;
    std::string caption;
    std::string text;
    FontHandle font = 0;
    Rgb text_colour;
    bool has_text_colour = false;
    bool checked = false;
    bool enabled = true;
    bool hidden = false;
    bool default_button = false;
  };
  struct Font {
    std::string face;
    int points = 0;
    int pixels = 0;  // at the display scale
  };
  enum class DrawKind { kTransparent, kSelectFont, kPicture, kText, kColour, kFill };
  struct DrawCall {
    DrawKind kind = DrawKind::kText;
    int x = 0;
    int y = 0;
    Rect rect;
    std::string text;
    Rgb colour;
    int handle = 0;  // font or picture
  };

  explicit HeadlessToolkit(int dpi = kLayoutDpi);
  ~HeadlessToolkit() override;

  WindowHandle OpenWindow(int client_width, int client_height, std::string_view title,
                          bool minimise_box, WindowHandle owner) override;
  void SetBackgroundColour(WindowHandle window, Rgb colour) override;
  void CloseWindow(WindowHandle window) override;
  void AddTimer(WindowHandle window, int id, int period_ms) override;
  Event WaitEvent() override;
  void PumpEvents() override { ++pumps_; }
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

  // --- What a test drives. ---
  /// Events returned by WaitEvent before any timer event (a requested one
  /// comes after them, then the idle ticks).
  void QueueEvent(const Event& event) { events_.push_back(event); }
  void Click(WindowHandle window, ControlHandle control);
  void KeyPress(WindowHandle window, ControlHandle control, int key);
  /// The pointer at `point`, in device pixels of the window's client area
  /// (at 96 DPI the same as layout pixels).
  void SetPointer(WindowHandle window, Point point) { pointers_[window] = point; }
  /// The next file dialog returns `answer` (empty: cancelled).
  void AnswerFileDialog(std::string answer) { dialog_answers_.push_back(std::move(answer)); }
  /// After `ticks` more idle timer events, WaitEvent asks the oldest open
  /// window to close (for running a whole program to its end).
  void CloseAfterTimerEvents(int ticks) { timer_budget_ = ticks; }
  /// Makes the next BeginDraw fail.
  void FailNextBeginDraw() { fail_next_begin_ = true; }
  /// The clock the toolkit installs for as long as it lives; an idle
  /// WaitEvent advances it to the next timer tick.
  ManualClock& clock() { return clock_; }

  // --- What a test reads. ---
  const std::map<WindowHandle, Window>& windows() const { return windows_; }
  const Window* window(WindowHandle handle) const;
  const Control* control(ControlHandle handle) const;
  /// The controls of a window in creation order.
  std::vector<ControlHandle> ControlsOf(WindowHandle window) const;
  /// The first control of the window with that caption, or 0.
  ControlHandle FindControl(WindowHandle window, std::string_view caption) const;
  const Font* font(FontHandle handle) const;
  /// The calls of the last completed drawing (between BeginDraw and EndDraw).
  const std::vector<DrawCall>& last_frame() const { return last_frame_; }
  int frames_drawn() const { return frames_drawn_; }
  /// Texts drawn in the last frame, in order.
  std::vector<DrawCall> TextsDrawn() const;
  struct DialogRequest {
    std::string title, initial_path, filter;
    int filter_index = 0;
  };
  const std::vector<DialogRequest>& dialog_requests() const { return dialog_requests_; }
  int pumps() const { return pumps_; }
  int timer_requests() const { return timer_requests_; }
  int pictures_alive() const { return static_cast<int>(pictures_.size()); }

 private:
  DisplayScale scale_;
  std::map<WindowHandle, Window> windows_;
  std::map<ControlHandle, Control> controls_;
  std::vector<ControlHandle> control_order_;
  std::map<FontHandle, Font> fonts_;
  std::map<PictureHandle, std::size_t> pictures_;
  std::map<WindowHandle, Point> pointers_;
  std::deque<Event> events_;
  std::deque<std::string> dialog_answers_;
  std::vector<DialogRequest> dialog_requests_;
  std::vector<DrawCall> frame_;
  std::vector<DrawCall> last_frame_;
  bool drawing_ = false;
  bool fail_next_begin_ = false;
  int frames_drawn_ = 0;
  int next_handle_ = 1;
  int pumps_ = 0;
  int timer_requests_ = 0;
  std::optional<Event> requested_timer_;  // delivered when no other event waits
  int timer_budget_ = -1;
  ManualClock clock_;
};

}  // namespace kanade
