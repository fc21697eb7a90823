// The window-system operations the interface needs. The logic calls only
// these, so it runs unchanged on FLTK, on Win32 and on the headless backend
// that the tests drive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kanade {

struct Rgb {
  std::uint8_t r = 0;
  std::uint8_t g = 0;
  std::uint8_t b = 0;
  friend bool operator==(const Rgb&, const Rgb&) = default;
};

inline constexpr Rgb kWhite{255, 255, 255};
inline constexpr Rgb kRed{255, 0, 0};
inline constexpr Rgb kGreen{0, 255, 0};
inline constexpr Rgb kBlack{0, 0, 0};
inline constexpr Rgb kYellow{255, 255, 0};

// Handles are small positive numbers; 0 means none.
using WindowHandle = int;
using ControlHandle = int;
using FontHandle = int;
using PictureHandle = int;

enum class EventKind { kOther, kCloseRequest, kControl, kTimer };
enum class ControlEventType { kNone, kLeftClick, kKeyPress };

inline constexpr int kKeyUp = 38;
inline constexpr int kKeyDown = 40;

struct Event {
  EventKind kind = EventKind::kOther;
  WindowHandle window = 0;
  ControlHandle control = 0;
  ControlEventType type = ControlEventType::kNone;
  int key = 0;       // virtual key code of a key press
  int timer_id = 0;  // identifier of a timer event
};

enum class ControlKind {
  kCanvas,  // takes keyboard focus; reports left clicks and key presses
  kPushButton,
  kCheckBox,
  kOptionButton,  // no automatic exclusion between option buttons
  kLabel,
  kLabelCentred,
  kFrame,        // thin plain border, no caption
  kField,        // single line, read-only, borderless
  kReadOnlyBox,  // multi-line, read-only, word wrap, scroll bars
  kEditableBox,  // multi-line, editable, word wrap, scroll bars
};

struct Rect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  friend bool operator==(const Rect&, const Rect&) = default;
};

struct Point {
  int x = 0;
  int y = 0;
};

// Sizes, positions and rectangles are layout pixels, as at 96 DPI: each
// backend shows them at the display's scale (ui/display_scale.h), and gives
// the pointer back in layout pixels.
class Toolkit {
 public:
  virtual ~Toolkit() = default;

  // Windows. `owner` 0 centres on the screen, else on that window.
  virtual WindowHandle OpenWindow(int client_width, int client_height, std::string_view title,
                                  bool minimise_box, WindowHandle owner) = 0;
  virtual void SetBackgroundColour(WindowHandle window, Rgb colour) = 0;
  virtual void CloseWindow(WindowHandle window) = 0;
  virtual void AddTimer(WindowHandle window, int id, int period_ms) = 0;

  // Events. WaitEvent blocks until one arrives.
  virtual Event WaitEvent() = 0;
  /// Lets the window system deliver input and paint while a long step runs:
  /// arriving events are queued for WaitEvent (one pending timer event is
  /// enough), nothing is handled here.
  virtual void PumpEvents() = 0;
  /// Queues a timer event of `window`'s timer `id` now, after the input
  /// that has arrived, unless one is pending already: work that is ready
  /// need not wait for the timer.
  virtual void RequestTimerEvent(WindowHandle window, int id) = 0;
  /// Pointer position in the window's client area; values below 1 mean outside.
  virtual Point PointerPosition(WindowHandle window) = 0;

  // Controls.
  virtual ControlHandle CreateControl(WindowHandle window, ControlKind kind, Rect rect,
                                      std::string_view caption) = 0;
  virtual void SetFont(ControlHandle control, FontHandle font) = 0;
  virtual void SetTextColour(ControlHandle control, Rgb colour) = 0;
  virtual void SetText(ControlHandle control, std::string_view text) = 0;
  virtual void SetChecked(ControlHandle control, bool checked) = 0;
  virtual std::string GetText(ControlHandle control) = 0;
  virtual bool IsChecked(ControlHandle control) = 0;
  virtual void SetEnabled(ControlHandle control, bool enabled) = 0;
  /// A hidden control keeps its rectangle and caption.
  virtual void Hide(ControlHandle control) = 0;
  /// The push button that Enter presses in its window.
  virtual void SetDefaultButton(ControlHandle button) = 0;
  virtual Rect ControlRect(ControlHandle control) = 0;

  // Fonts: pixel height = points x the display's DPI / 72, rounded; normal weight.
  virtual FontHandle LoadFont(std::string_view face, int points) = 0;

  // Drawing on a canvas. Nothing shows before EndDraw; a failed BeginDraw
  // means the repaint is skipped.
  virtual bool BeginDraw(ControlHandle canvas) = 0;
  virtual void EndDraw(ControlHandle canvas) = 0;
  virtual void SetTransparentTextBackground() = 0;
  virtual void SelectFont(FontHandle font) = 0;
  virtual void DrawPicture(PictureHandle picture, int x, int y) = 0;
  virtual void DrawText(int x, int y, std::string_view text, Rgb colour) = 0;
  virtual void SetColour(Rgb colour) = 0;
  virtual void FillRect(Rect rect, Rgb colour) = 0;

  // Pictures.
  virtual PictureHandle DecodeJpeg(const std::uint8_t* data, std::size_t size) = 0;
  virtual void FreePicture(PictureHandle picture) = 0;

  /// The file-open dialog: full path chosen or typed, empty when cancelled.
  /// `filter` is "label|pattern"; the folder must exist, the file need not.
  virtual std::string OpenFileDialog(std::string_view title, std::string_view initial_path,
                                     std::string_view filter, int filter_index) = 0;
};

/// The toolkit in use (none until start-up or a test installs one).
Toolkit* GetToolkit();
/// Installs `toolkit` (not owned).
void SetToolkit(Toolkit* toolkit);

/// The four fonts of the program, by slot: main, dialog, monospace, canvas.
inline FontHandle MainFont = 0;
inline FontHandle DialogFont = 0;
inline FontHandle MonoFont = 0;
inline FontHandle CanvasFont = 0;

/// Whether (x, y) in the window's client coordinates lies inside the
/// control's rectangle (left and top edges inside, right and bottom outside).
bool PointInControl(int x, int y, ControlHandle control);

}  // namespace kanade
