#include "ui/fltk_toolkit.h"

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Check_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Native_File_Chooser.H>
#include <FL/Fl_Output.H>
#include <FL/Fl_RGB_Image.H>
#include <FL/Fl_Round_Button.H>
#include <FL/Fl_Text_Buffer.H>
#include <FL/Fl_Text_Display.H>
#include <FL/Fl_Text_Editor.H>
#include <FL/fl_draw.H>
#include <FL/x.H>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <system_error>

#include "ui/fltk_fonts.h"
#include "ui/picture_decoders.h"
#include "ui/picture_scaling.h"
#include "util/path.h"
#include "util/text.h"

#if !defined(_WIN32) && !defined(__APPLE__)
#define KANADE_FLTK_X11 1
#include <X11/Xatom.h>
#endif

namespace kanade {

namespace {

FltkToolkit* the_toolkit = nullptr;

Fl_Color ToFl(Rgb c) {
  return fl_rgb_color(c.r, c.g, c.b);
}

void* HandleData(int handle) {
  return reinterpret_cast<void*>(static_cast<std::intptr_t>(handle));
}

int DataHandle(void* data) {
  return static_cast<int>(reinterpret_cast<std::intptr_t>(data));
}

// FLTK keeps the pointer to a font name: the names live until exit.
const char* KeepFontName(std::string name) {
  static std::deque<std::string> names;
  names.push_back(std::move(name));
  return names.back().c_str();
}

// FLTK treats "@" in a label as the start of a symbol.
std::string EscapeLabel(std::string_view text) {
  return ReplaceAll(std::string(text), "@", "@@");
}

// The virtual key codes the program knows, from FLTK's key numbers.
int VirtualKey(int key) {
  if (key >= 'a' && key <= 'z') return key - 'a' + 'A';
  if (key >= '0' && key <= '9') return key;
  if (key >= FL_F + 1 && key <= FL_F + 12) return 112 + key - (FL_F + 1);
  if (key >= FL_KP + '0' && key <= FL_KP + '9') return 96 + key - (FL_KP + '0');
  switch (key) {
    case FL_BackSpace:
      return 8;
    case FL_Tab:
      return 9;
    case FL_Enter:
    case FL_KP_Enter:
      return 13;
    case FL_Shift_L:
    case FL_Shift_R:
      return 16;
    case FL_Control_L:
    case FL_Control_R:
      return 17;
    case FL_Alt_L:
    case FL_Alt_R:
      return 18;
    case FL_Pause:
      return 19;
    case FL_Caps_Lock:
      return 20;
    case FL_Escape:
      return 27;
    case ' ':
      return 32;
    case FL_Page_Up:
      return 33;
    case FL_Page_Down:
      return 34;
    case FL_End:
      return 35;
    case FL_Home:
      return 36;
    case FL_Left:
      return 37;
    case FL_Up:
      return kKeyUp;
    case FL_Right:
      return 39;
    case FL_Down:
      return kKeyDown;
    case FL_Insert:
      return 45;
    case FL_Delete:
      return 46;
    case FL_Menu:
      return 93;
    case FL_KP + '*':
      return 106;
    case FL_KP + '+':
      return 107;
    case FL_KP + '-':
      return 109;
    case FL_KP + '.':
      return 110;
    case FL_KP + '/':
      return 111;
    case ';':
      return 186;
    case '=':
      return 187;
    case ',':
      return 188;
    case '-':
      return 189;
    case '.':
      return 190;
    case '/':
      return 191;
    case '`':
      return 192;
    case '[':
      return 219;
    case '\\':
      return 220;
    case ']':
      return 221;
    case '\'':
      return 222;
    default:
      return 0;
  }
}

std::string LineFeedsOnly(std::string_view text) {
  return ReplaceAll(ReplaceAll(std::string(text), "\r\n", "\n"), "\r", "\n");
}

void WindowCallback(Fl_Widget* widget, void* data) {
  // FLTK also calls this for Escape; only a real close request counts.
  if (Fl::event() == FL_SHORTCUT && Fl::event_key() == FL_Escape) return;
  if (the_toolkit == nullptr) return;
  Event e;
  e.kind = EventKind::kCloseRequest;
  e.window = DataHandle(data);
  (void)widget;
  the_toolkit->QueueEvent(e);
}

void ControlCallback(Fl_Widget* widget, void* data) {
  if (the_toolkit == nullptr) return;
  Event e;
  e.kind = EventKind::kControl;
  e.window = the_toolkit->WindowOf(widget->window());
  e.control = DataHandle(data);
  e.type = ControlEventType::kLeftClick;
  the_toolkit->QueueEvent(e);
}

// An option button does not turn itself off when clicked again, and leaves
// the other options to the program.
void OptionCallback(Fl_Widget* widget, void* data) {
  static_cast<Fl_Button*>(widget)->value(1);
  ControlCallback(widget, data);
}

#ifdef KANADE_FLTK_X11
// Motif hints, which window managers read for the buttons of the title bar.
void SetWindowButtons(Fl_Window* window, bool minimise_box) {
  constexpr long kFunctions = 1, kDecorations = 2;
  constexpr long kFuncMove = 4, kFuncMinimise = 8, kFuncClose = 32;
  constexpr long kDecorBorder = 2, kDecorTitle = 8, kDecorMenu = 16, kDecorMinimise = 32;
  long hints[5] = {kFunctions | kDecorations, kFuncMove | kFuncClose,
                   kDecorBorder | kDecorTitle | kDecorMenu, 0, 0};
  if (minimise_box) {
    hints[1] |= kFuncMinimise;
    hints[2] |= kDecorMinimise;
  }
  const Atom atom = XInternAtom(fl_display, "_MOTIF_WM_HINTS", False);
  XChangeProperty(fl_display, fl_xid(window), atom, atom, 32, PropModeReplace,
                  reinterpret_cast<unsigned char*>(hints), 5);
}
#endif

}  // namespace

// ------------------------------------------------------------- canvas ---

// The painted surface: it replays the last complete frame, so what shows is
// always a whole frame and a window uncovered again repaints by itself.
class FltkCanvas : public Fl_Widget {
 public:
  FltkCanvas(int x, int y, int w, int h, ControlHandle handle)
      : Fl_Widget(x, y, w, h), handle_(handle) {
    // Keeps visible_focus: FLTK gives keyboard focus only to such widgets.
    box(FL_NO_BOX);
  }

  void SetFrame(std::vector<FltkToolkit::DrawCall> frame) { frame_ = std::move(frame); }
  const std::vector<FltkToolkit::DrawCall>& Frame() const { return frame_; }

  void draw() override {
    fl_push_clip(x(), y(), w(), h());
    fl_rectf(x(), y(), w(), h(), FL_BLACK);
    for (const FltkToolkit::DrawCall& call : frame_) {
      using Kind = FltkToolkit::DrawCall::Kind;
      const int cx = x() + call.x;
      const int cy = y() + call.y;
      switch (call.kind) {
        case Kind::kFill:
          fl_rectf(cx, cy, call.width, call.height, call.colour.r, call.colour.g, call.colour.b);
          break;
        case Kind::kPicture:
          if (call.picture) call.picture->draw(cx, cy);
          break;
        case Kind::kText: {
          fl_font(call.font, call.size);
          fl_color(ToFl(call.colour));
          // The program gives the top of the text; FLTK wants the baseline.
          const int baseline = cy + fl_height() - fl_descent();
          fl_draw(call.text.c_str(), static_cast<int>(call.text.size()), cx, baseline);
          break;
        }
        case Kind::kColour:
          fl_color(ToFl(call.colour));
          break;
      }
    }
    fl_pop_clip();
  }

  int handle(int event) override {
    switch (event) {
      case FL_FOCUS:
      case FL_UNFOCUS:
        return 1;
      case FL_PUSH:
        take_focus();
        if (Fl::event_button() == FL_LEFT_MOUSE) Queue(ControlEventType::kLeftClick, 0);
        return 1;
      case FL_KEYBOARD: {
        // Every key stays here, so Escape and the arrows never move focus
        // or close the window.
        const int key = VirtualKey(Fl::event_key());
        if (key != 0) Queue(ControlEventType::kKeyPress, key);
        return 1;
      }
      default:
        return Fl_Widget::handle(event);
    }
  }

 private:
  void Queue(ControlEventType type, int key) {
    if (the_toolkit == nullptr) return;
    Event e;
    e.kind = EventKind::kControl;
    e.window = the_toolkit->WindowOf(window());
    e.control = handle_;
    e.type = type;
    e.key = key;
    the_toolkit->QueueEvent(e);
  }

  ControlHandle handle_;
  std::vector<FltkToolkit::DrawCall> frame_;
};

// ------------------------------------------------------------- window ---

// A top-level window. The main window sends keys to its canvas whenever it
// is activated (after the settings window, Alt+Tab, restoring), not only
// after a click; a window of controls presses its default button on Enter.
class FltkWindow : public Fl_Double_Window {
 public:
  using Fl_Double_Window::Fl_Double_Window;

  Fl_Widget* keyboard_home = nullptr;
  Fl_Widget* default_button = nullptr;

  /// Gives the keyboard to the canvas (main window) or, in a window of
  /// controls, to its first control that takes it, unless it is there.
  void TakeKeyboard() {
    if (keyboard_home != nullptr) {
      if (keyboard_home->visible_r()) keyboard_home->take_focus();
    } else if (!contains(Fl::focus())) {
      take_focus();
    }
  }

  int handle(int event) override {
    switch (event) {
      case FL_FOCUS:
        if (keyboard_home == nullptr) break;
        TakeKeyboard();
        return 1;
      case FL_SHOW: {
        const int used = Fl_Double_Window::handle(event);
        if (keyboard_home != nullptr) TakeKeyboard();
        return used;
      }
      case FL_SHORTCUT:
        if ((Fl::event_key() == FL_Enter || Fl::event_key() == FL_KP_Enter) &&
            default_button != nullptr && default_button->active_r()) {
          default_button->do_callback();
          return 1;
        }
        break;
      default:
        break;
    }
    return Fl_Double_Window::handle(event);
  }
};

// ------------------------------------------------------------- timers ---

struct FltkToolkit::Timer {
  WindowHandle window = 0;
  int id = 0;
  double seconds = 0.1;
  bool pending = false;

  static void Fire(void* data) {
    auto* timer = static_cast<Timer*>(data);
    Fl::repeat_timeout(timer->seconds, Fire, data);
    if (the_toolkit != nullptr) the_toolkit->QueueTimer(timer->window, timer->id);
  }
};

// ------------------------------------------------------------- toolkit ---

FltkToolkit::FltkToolkit() {
  the_toolkit = this;
#ifdef KANADE_FLTK_X11
  // FLTK ends the process when it cannot open the display; ask first.
  if (Display* display = XOpenDisplay(nullptr)) {
    fl_open_display(display);
    display_ok_ = true;
  }
#else
  display_ok_ = true;
#endif
  if (!display_ok_) return;
  // X reports the monitor's physical DPI; the layout follows it in steps
  // of 25 %, as desktops scale.
  float dpi_x = 0, dpi_y = 0;
  Fl::screen_dpi(dpi_x, dpi_y, 0);
  scale_ = DisplayScale(DesktopStepDpi(dpi_y));
  // FLTK's own dialogs and scroll bars grow with everything else (from
  // FLTK's sizes, however many toolkits a process makes).
  static const Fl_Fontsize normal_size = FL_NORMAL_SIZE;
  static const int scrollbar_size = Fl::scrollbar_size();
  FL_NORMAL_SIZE = static_cast<Fl_Fontsize>(scale_.Scale(normal_size));
  Fl::scrollbar_size(scale_.Scale(scrollbar_size));
  Fl::scheme("gtk+");
  // Controls without a font of their own, and FLTK's own dialogs, need a
  // face with Japanese glyphs too.
  const FontHandle font = LoadFont("Meiryo UI", 8);
  default_font_ = fonts_[font];
  fonts_.erase(font);
  Fl::set_font(FL_HELVETICA, KeepFontName(" " + default_font_.face));
}

FltkToolkit::~FltkToolkit() {
  while (!windows_.empty()) CloseWindow(windows_.begin()->first);
  pictures_.clear();
  if (the_toolkit == this) the_toolkit = nullptr;
  if (GetToolkit() == this) SetToolkit(nullptr);
}

std::unique_ptr<Toolkit> MakeFltkToolkit() {
  auto toolkit = std::make_unique<FltkToolkit>();
  if (!toolkit->DisplayAvailable()) return nullptr;
  return toolkit;
}

WindowHandle FltkToolkit::WindowOf(const Fl_Widget* window) const {
  for (const auto& [handle, record] : windows_) {
    if (record.window == window) return handle;
  }
  return 0;
}

void FltkToolkit::QueueEvent(const Event& event) {
  events_.push_back(event);
}

void FltkToolkit::QueueTimer(WindowHandle window, int id) {
  auto w = windows_.find(window);
  if (w == windows_.end()) return;
  auto t = w->second.timers.find(id);
  // One pending tick is enough: a blocked loop must not find a backlog.
  if (t == w->second.timers.end() || t->second->pending) return;
  t->second->pending = true;
  Event e;
  e.kind = EventKind::kTimer;
  e.window = window;
  e.timer_id = id;
  events_.push_back(e);
}

WindowHandle FltkToolkit::OpenWindow(int client_width, int client_height, std::string_view title,
                                     bool minimise_box, WindowHandle owner) {
  if (!display_ok_ || client_width <= 0 || client_height <= 0) return 0;
  client_width = scale_.Scale(client_width);
  client_height = scale_.Scale(client_height);
  auto owner_record = windows_.find(owner);
  const Fl_Window* owner_window =
      owner_record == windows_.end() ? nullptr : owner_record->second.window;

  int x = 0, y = 0;
  if (owner_window != nullptr) {
    x = owner_window->x() + (owner_window->w() - client_width) / 2;
    y = owner_window->y() + (owner_window->h() - client_height) / 2;
  } else {
    int sx = 0, sy = 0, sw = 0, sh = 0;
    Fl::screen_work_area(sx, sy, sw, sh, 0);
    x = sx + (sw - client_width) / 2;
    y = sy + (sh - client_height) / 2;
  }

  const WindowHandle handle = next_handle_++;
  auto* window = new FltkWindow(x, y, client_width, client_height);
  window->end();
  window->copy_label(std::string(title).c_str());
  window->xclass("kanade");
  window->size_range(client_width, client_height, client_width, client_height);
  window->callback(WindowCallback, HandleData(handle));
  if (owner_window != nullptr) window->set_non_modal();
  WindowRecord& record = windows_[handle];
  record.window = window;
  record.owner = owner_window != nullptr ? owner : 0;
  window->show();
#ifdef KANADE_FLTK_X11
  SetWindowButtons(window, minimise_box);
  if (owner_window != nullptr) {
    XSetTransientForHint(fl_display, fl_xid(window), fl_xid(owner_window));
  }
  XFlush(fl_display);
#else
  (void)minimise_box;
#endif
  return handle;
}

void FltkToolkit::SetBackgroundColour(WindowHandle window, Rgb colour) {
  auto it = windows_.find(window);
  if (it == windows_.end()) return;
  FltkWindow* w = it->second.window;
  w->color(ToFl(colour));
  // Borderless fields share the window's colour.
  for (auto& [handle, control] : controls_) {
    if (control.window == window && control.kind == ControlKind::kField) {
      control.widget->color(ToFl(colour));
    }
  }
  w->redraw();
}

void FltkToolkit::DropTimers(WindowRecord& record) {
  for (auto& [id, timer] : record.timers) Fl::remove_timeout(Timer::Fire, timer.get());
  record.timers.clear();
}

void FltkToolkit::CloseWindow(WindowHandle window) {
  auto it = windows_.find(window);
  if (it == windows_.end()) return;
  DropTimers(it->second);
  std::vector<Fl_Text_Buffer*> buffers;
  for (auto c = controls_.begin(); c != controls_.end();) {
    if (c->second.window != window) {
      ++c;
      continue;
    }
    if (drawing_canvas_ == c->second.widget) drawing_canvas_ = nullptr;
    if (c->second.buffer != nullptr) buffers.push_back(c->second.buffer);
    c = controls_.erase(c);
  }
  std::erase_if(events_, [window](const Event& e) { return e.window == window; });
  // Only the program calls this, never an FLTK callback, so the window can
  // go at once; its text boxes must go before their buffers.
  const WindowHandle owner = it->second.owner;
  it->second.window->hide();
  delete it->second.window;
  windows_.erase(it);
  for (Fl_Text_Buffer* buffer : buffers) delete buffer;
  // The owner becomes the active window again, as on Windows; without a
  // window manager nothing else would hand the keyboard back.
  if (auto o = windows_.find(owner); o != windows_.end()) o->second.window->TakeKeyboard();
  Fl::flush();
}

void FltkToolkit::AddTimer(WindowHandle window, int id, int period_ms) {
  auto it = windows_.find(window);
  if (it == windows_.end()) return;
  auto& slot = it->second.timers[id];
  if (slot) Fl::remove_timeout(Timer::Fire, slot.get());
  slot = std::make_unique<Timer>();
  slot->window = window;
  slot->id = id;
  slot->seconds = std::max(period_ms, 1) / 1000.0;
  Fl::add_timeout(slot->seconds, Timer::Fire, slot.get());
}

Event FltkToolkit::WaitEvent() {
  while (events_.empty()) {
    if (!display_ok_ || windows_.empty()) {
      // Nothing could ever arrive: let the caller's loop end.
      Event e;
      e.kind = EventKind::kCloseRequest;
      return e;
    }
    Fl::wait(1.0);
  }
  Event e = events_.front();
  events_.pop_front();
  if (e.kind == EventKind::kTimer) {
    auto w = windows_.find(e.window);
    if (w != windows_.end()) {
      auto t = w->second.timers.find(e.timer_id);
      if (t != w->second.timers.end()) t->second->pending = false;
    }
  }
  return e;
}

void FltkToolkit::PumpEvents() {
  if (display_ok_) Fl::check();
}

void FltkToolkit::RequestTimerEvent(WindowHandle window, int id) {
  PumpEvents();
  QueueTimer(window, id);
}

Point FltkToolkit::PointerPosition(WindowHandle window) {
  auto it = windows_.find(window);
  if (it == windows_.end() || !it->second.window->shown()) return Point{-1, -1};
  const Fl_Window* w = it->second.window;
  int mx = 0, my = 0;
  Fl::get_mouse(mx, my);
  const int x = mx - w->x();
  const int y = my - w->y();
  if (x < 0 || y < 0 || x >= w->w() || y >= w->h()) return Point{-1, -1};
  return scale_.Unscale(Point{x, y});
}

ControlHandle FltkToolkit::CreateControl(WindowHandle window, ControlKind kind, Rect rect,
                                         std::string_view caption) {
  auto w = windows_.find(window);
  if (w == windows_.end()) return 0;
  const ControlHandle handle = next_handle_++;
  const std::string text(caption);
  Fl_Text_Buffer* buffer = nullptr;
  Fl_Widget* widget = MakeWidget(kind, rect, handle, text, *w->second.window, &buffer);
  if (widget == nullptr) return 0;
  RegisterControl(window, *w->second.window, handle, kind, rect, text, widget, buffer);
  return handle;
}

Fl_Widget* FltkToolkit::MakeWidget(ControlKind kind, Rect rect, ControlHandle handle,
                                   const std::string& text, const FltkWindow& parent,
                                   Fl_Text_Buffer** buffer) {
  const Rect device = scale_.Scale(rect);
  const int x = device.x, y = device.y, width = device.width, height = device.height;
  Fl_Widget* widget = nullptr;
  switch (kind) {
    case ControlKind::kCanvas:
      widget = new FltkCanvas(x, y, width, height, handle);
      break;
    case ControlKind::kPushButton:
      widget = new Fl_Button(x, y, width, height);
      widget->callback(ControlCallback, HandleData(handle));
      break;
    case ControlKind::kCheckBox:
      widget = new Fl_Check_Button(x, y, width, height);
      widget->callback(ControlCallback, HandleData(handle));
      break;
    case ControlKind::kOptionButton: {
      auto* option = new Fl_Round_Button(x, y, width, height);
      // Not FL_RADIO_BUTTON: options separated by other controls must not
      // clear one another behind the program's back.
      option->type(FL_TOGGLE_BUTTON);
      option->callback(OptionCallback, HandleData(handle));
      widget = option;
      break;
    }
    case ControlKind::kLabel:
    case ControlKind::kLabelCentred: {
      auto* label = new Fl_Box(x, y, width, height);
      label->box(FL_NO_BOX);  // alignment comes with the font
      widget = label;
      break;
    }
    case ControlKind::kFrame: {
      auto* frame = new Fl_Box(x, y, width, height);
      frame->box(FL_BORDER_FRAME);
      frame->color(fl_rgb_color(160, 160, 160));
      widget = frame;
      break;
    }
    case ControlKind::kField: {
      auto* field = new Fl_Output(x, y, width, height);
      field->box(FL_FLAT_BOX);
      field->color(parent.color());
      field->value(text.c_str());
      widget = field;
      break;
    }
    case ControlKind::kReadOnlyBox:
    case ControlKind::kEditableBox: {
      Fl_Text_Display* box = kind == ControlKind::kEditableBox
                                 ? new Fl_Text_Editor(x, y, width, height)
                                 : new Fl_Text_Display(x, y, width, height);
      *buffer = new Fl_Text_Buffer();
      (*buffer)->text(LineFeedsOnly(text).c_str());
      box->buffer(*buffer);
      box->wrap_mode(Fl_Text_Display::WRAP_AT_BOUNDS, 0);
      box->scrollbar_width(scale_.Scale(16));
      widget = box;
      break;
    }
  }
  if (widget == nullptr) return nullptr;
  if (kind != ControlKind::kCanvas && kind != ControlKind::kFrame && kind != ControlKind::kField &&
      kind != ControlKind::kReadOnlyBox && kind != ControlKind::kEditableBox) {
    widget->copy_label(EscapeLabel(text).c_str());
  }
  return widget;
}

void FltkToolkit::RegisterControl(WindowHandle window, FltkWindow& parent, ControlHandle handle,
                                  ControlKind kind, Rect rect, const std::string& text,
                                  Fl_Widget* widget, Fl_Text_Buffer* buffer) {
  parent.add(widget);

  ControlRecord& record = controls_[handle];
  record.window = window;
  record.kind = kind;
  record.rect = rect;
  record.caption = text;
  record.widget = widget;
  record.buffer = buffer;
  ApplyFont(record, default_font_);
  widget->redraw();
  if (kind == ControlKind::kCanvas) {
    parent.keyboard_home = widget;
    Fl::focus(widget);
  } else {
    // A window that has just opened takes the keyboard with its first
    // control that accepts it, as a dialog does.
    parent.TakeKeyboard();
  }
}

FltkToolkit::ControlRecord* FltkToolkit::FindControl(ControlHandle control) {
  auto it = controls_.find(control);
  return it == controls_.end() ? nullptr : &it->second;
}

void FltkToolkit::ApplyFont(ControlRecord& control, const FontRecord& font) {
  if (font.pixels <= 0) return;
  if (auto* box = dynamic_cast<Fl_Text_Display*>(control.widget)) {
    box->textfont(font.index);
    box->textsize(font.pixels);
  } else if (auto* field = dynamic_cast<Fl_Output*>(control.widget)) {
    field->textfont(font.index);
    field->textsize(font.pixels);
  } else {
    control.widget->labelfont(font.index);
    control.widget->labelsize(font.pixels);
  }
  if (control.kind == ControlKind::kLabel || control.kind == ControlKind::kLabelCentred) {
    // A one-line label that is too narrow runs on past its box rather than
    // wrapping its second line over the control below.
    Fl_Align align = FL_ALIGN_INSIDE | FL_ALIGN_TOP;
    if (control.kind == ControlKind::kLabel) align |= FL_ALIGN_LEFT;
    if (scale_.Scale(control.rect.height) * 2 >= font.pixels * 5) align |= FL_ALIGN_WRAP;
    control.widget->align(align);
    FitLabel(control);
  }
  control.widget->redraw();
}

// A one-line label grows to its text's width (a centred one on both sides),
// as on Windows: the text stays whole and inside its box.
void FltkToolkit::FitLabel(ControlRecord& control) {
  if (control.kind != ControlKind::kLabel && control.kind != ControlKind::kLabelCentred) return;
  Fl_Widget* widget = control.widget;
  const Rect box = scale_.Scale(control.rect);
  int width = box.width;
  if (!(widget->align() & FL_ALIGN_WRAP) && !control.caption.empty()) {
    fl_font(widget->labelfont(), widget->labelsize());
    // FLTK keeps 3 pixels free on either side of a left-aligned label.
    const int margin = control.kind == ControlKind::kLabel ? 6 : 0;
    const int text = static_cast<int>(std::ceil(fl_width(control.caption.c_str())));
    width = std::max(box.width, text + margin + 2);
  }
  const int x =
      control.kind == ControlKind::kLabelCentred ? box.x - (width - box.width) / 2 : box.x;
  if (widget->x() != x || widget->w() != width) {
    if (widget->window() != nullptr) widget->window()->damage(FL_DAMAGE_ALL);
    widget->resize(x, box.y, width, box.height);
  }
}

void FltkToolkit::SetFont(ControlHandle control, FontHandle font) {
  ControlRecord* c = FindControl(control);
  auto f = fonts_.find(font);
  if (c != nullptr && f != fonts_.end()) ApplyFont(*c, f->second);
}

void FltkToolkit::SetTextColour(ControlHandle control, Rgb colour) {
  ControlRecord* c = FindControl(control);
  if (c == nullptr) return;
  if (auto* box = dynamic_cast<Fl_Text_Display*>(c->widget)) {
    box->textcolor(ToFl(colour));
  } else if (auto* field = dynamic_cast<Fl_Output*>(c->widget)) {
    field->textcolor(ToFl(colour));
  } else {
    c->widget->labelcolor(ToFl(colour));
  }
  c->widget->redraw();
}

void FltkToolkit::SetText(ControlHandle control, std::string_view text) {
  ControlRecord* c = FindControl(control);
  if (c == nullptr) return;
  const std::string value(text);
  if (c->buffer != nullptr) {
    c->buffer->text(LineFeedsOnly(value).c_str());
  } else if (auto* field = dynamic_cast<Fl_Output*>(c->widget)) {
    field->value(value.c_str());
  } else if (c->kind != ControlKind::kCanvas && c->kind != ControlKind::kFrame) {
    c->widget->copy_label(EscapeLabel(value).c_str());
    // A label without a box leaves its old text unless the window repaints.
    if (c->widget->window() != nullptr) c->widget->window()->damage(FL_DAMAGE_ALL);
  }
  c->caption = value;
  FitLabel(*c);
  c->widget->redraw();
}

void FltkToolkit::SetChecked(ControlHandle control, bool checked) {
  ControlRecord* c = FindControl(control);
  if (c == nullptr) return;
  if (auto* button = dynamic_cast<Fl_Button*>(c->widget)) button->value(checked ? 1 : 0);
}

std::string FltkToolkit::GetText(ControlHandle control) {
  ControlRecord* c = FindControl(control);
  if (c == nullptr) return {};
  if (c->buffer != nullptr) {
    char* text = c->buffer->text();
    std::string result = text != nullptr ? text : "";
    std::free(text);
    return result;
  }
  if (auto* field = dynamic_cast<Fl_Output*>(c->widget)) {
    return field->value() != nullptr ? field->value() : "";
  }
  return c->caption;
}

bool FltkToolkit::IsChecked(ControlHandle control) {
  ControlRecord* c = FindControl(control);
  if (c == nullptr) return false;
  auto* button = dynamic_cast<Fl_Button*>(c->widget);
  return button != nullptr && button->value() != 0;
}

void FltkToolkit::SetEnabled(ControlHandle control, bool enabled) {
  ControlRecord* c = FindControl(control);
  if (c == nullptr) return;
  if (enabled) {
    c->widget->activate();
  } else {
    c->widget->deactivate();
  }
}

void FltkToolkit::Hide(ControlHandle control) {
  if (ControlRecord* c = FindControl(control)) c->widget->hide();
}

void FltkToolkit::SetDefaultButton(ControlHandle button) {
  ControlRecord* c = FindControl(button);
  if (c == nullptr) return;
  auto w = windows_.find(c->window);
  if (w != windows_.end()) w->second.window->default_button = c->widget;
}

Rect FltkToolkit::ControlRect(ControlHandle control) {
  ControlRecord* c = FindControl(control);
  return c == nullptr ? Rect{} : c->rect;
}

FontHandle FltkToolkit::LoadFont(std::string_view face, int points) {
  if (!display_ok_ || points <= 0) return 0;
  const std::string resolved = ResolveFontFace(face);
  if (resolved.empty()) return 0;
  auto known = font_indexes_.find(resolved);
  int index = 0;
  if (known != font_indexes_.end()) {
    index = known->second;
  } else {
    index = FL_FREE_FONT + next_font_index_++;
    // The leading space asks Xft for the normal weight and upright style.
    Fl::set_font(index, KeepFontName(" " + resolved));
    font_indexes_[resolved] = index;
  }
  // The size follows the same factor as the layout, never the DPI alone.
  const FontHandle handle = next_handle_++;
  fonts_[handle] = FontRecord{resolved, index, scale_.FontPixels(points)};
  return handle;
}

std::string FltkToolkit::FontFace(FontHandle font) const {
  auto it = fonts_.find(font);
  return it == fonts_.end() ? std::string() : it->second.face;
}

int FltkToolkit::FontPixels(FontHandle font) const {
  auto it = fonts_.find(font);
  return it == fonts_.end() ? 0 : it->second.pixels;
}

bool FltkToolkit::BeginDraw(ControlHandle canvas) {
  ControlRecord* c = FindControl(canvas);
  if (c == nullptr || c->kind != ControlKind::kCanvas) return false;
  drawing_canvas_ = static_cast<FltkCanvas*>(c->widget);
  frame_.clear();
  current_font_ = default_font_.index;
  current_size_ = default_font_.pixels;
  return true;
}

void FltkToolkit::EndDraw(ControlHandle canvas) {
  ControlRecord* c = FindControl(canvas);
  if (drawing_canvas_ == nullptr || c == nullptr || c->widget != drawing_canvas_) return;
  drawing_canvas_->SetFrame(std::move(frame_));
  frame_.clear();
  drawing_canvas_->redraw();
  drawing_canvas_ = nullptr;
  // Painted now, not at the next event wait: a step may block after this.
  Fl::flush();
}

void FltkToolkit::SetTransparentTextBackground() {
  // FLTK draws text without a background anyway.
}

void FltkToolkit::SelectFont(FontHandle font) {
  auto it = fonts_.find(font);
  if (drawing_canvas_ == nullptr || it == fonts_.end()) return;
  current_font_ = it->second.index;
  current_size_ = it->second.pixels;
}

void FltkToolkit::DrawPicture(PictureHandle picture, int x, int y) {
  auto it = pictures_.find(picture);
  if (drawing_canvas_ == nullptr || it == pictures_.end()) return;
  DrawCall call;
  call.kind = DrawCall::Kind::kPicture;
  call.x = scale_.Scale(x);
  call.y = scale_.Scale(y);
  call.picture = it->second;  // kept alive while the frame shows it
  frame_.push_back(std::move(call));
}

void FltkToolkit::DrawText(int x, int y, std::string_view text, Rgb colour) {
  if (drawing_canvas_ == nullptr) return;
  DrawCall call;
  call.kind = DrawCall::Kind::kText;
  call.x = scale_.Scale(x);
  call.y = scale_.Scale(y);
  call.text = std::string(text);
  call.colour = colour;
  call.font = current_font_;
  call.size = current_size_;
  frame_.push_back(std::move(call));
}

void FltkToolkit::SetColour(Rgb colour) {
  if (drawing_canvas_ == nullptr) return;
  DrawCall call;
  call.kind = DrawCall::Kind::kColour;
  call.colour = colour;
  frame_.push_back(std::move(call));
}

void FltkToolkit::FillRect(Rect rect, Rgb colour) {
  if (drawing_canvas_ == nullptr || rect.width <= 0 || rect.height <= 0) return;
  const Rect device = scale_.Scale(rect);
  DrawCall call;
  call.kind = DrawCall::Kind::kFill;
  call.x = device.x;
  call.y = device.y;
  call.width = device.width;
  call.height = device.height;
  call.colour = colour;
  frame_.push_back(std::move(call));
}

std::vector<LayoutItem> FltkToolkit::ReportLayout(WindowHandle window) {
  std::vector<LayoutItem> items;
  auto measure = [](LayoutItem& item, Fl_Font font, Fl_Fontsize size, bool wrap) {
    fl_font(font, size);
    int width = wrap ? item.area.width : 0, height = 0;
    fl_measure(item.text.c_str(), width, height, 0);
    item.text_width = width;
    item.text_height = height;
  };
  for (const auto& [handle, control] : controls_) {
    if (control.window != window || !control.widget->visible()) continue;
    const Fl_Widget* widget = control.widget;
    const Fl_Boxtype boxtype = widget->box();
    LayoutItem item;
    item.text = control.caption;
    item.layout = control.rect;
    item.box = Rect{widget->x(), widget->y(), widget->w(), widget->h()};
    // The text area of each kind, as FLTK 1.3 draws it.
    item.area = Rect{item.box.x + Fl::box_dx(boxtype), item.box.y + Fl::box_dy(boxtype),
                     item.box.width - Fl::box_dw(boxtype), item.box.height - Fl::box_dh(boxtype)};
    switch (control.kind) {
      case ControlKind::kCanvas:
        for (const DrawCall& call : static_cast<const FltkCanvas*>(widget)->Frame()) {
          LayoutItem drawn;
          if (call.kind == DrawCall::Kind::kFill) {
            drawn.kind = "fill";
            drawn.box = Rect{call.x, call.y, call.width, call.height};
          } else if (call.kind == DrawCall::Kind::kText) {
            drawn.kind = "text";
            drawn.text = call.text;
            measure(drawn, call.font, call.size, false);
            drawn.box = Rect{call.x, call.y, drawn.text_width, drawn.text_height};
          } else {
            continue;
          }
          drawn.area = drawn.box;
          items.push_back(std::move(drawn));
        }
        continue;
      case ControlKind::kFrame:
      case ControlKind::kReadOnlyBox:
      case ControlKind::kEditableBox:
        continue;
      case ControlKind::kPushButton:
        item.kind = "button";
        break;
      case ControlKind::kCheckBox:
      case ControlKind::kOptionButton: {
        item.kind = control.kind == ControlKind::kCheckBox ? "check" : "option";
        // The mark is a square as high as the font, with 2 pixels either side.
        const int mark = widget->labelsize() + 2 * (Fl::box_dx(boxtype) + 2);
        item.area = Rect{item.box.x + mark, item.box.y, item.box.width - mark, item.box.height};
        break;
      }
      case ControlKind::kLabel:
      case ControlKind::kLabelCentred:
        item.kind = "label";
        if ((widget->align() & (FL_ALIGN_LEFT | FL_ALIGN_RIGHT)) && item.area.width > 11) {
          item.area.x += 3;
          item.area.width -= 6;
        }
        break;
      case ControlKind::kField: {
        item.kind = "field";
        const auto* field = static_cast<const Fl_Output*>(widget);
        item.text = field->value() != nullptr ? field->value() : "";
        measure(item, field->textfont(), field->textsize(), false);
        items.push_back(std::move(item));
        continue;
      }
    }
    measure(item, widget->labelfont(), widget->labelsize(), (widget->align() & FL_ALIGN_WRAP) != 0);
    items.push_back(std::move(item));
  }
  return items;
}

PictureHandle FltkToolkit::DecodeJpeg(const std::uint8_t* data, std::size_t size) {
  if (data == nullptr || size < 3 || data[0] != 0xFF || data[1] != 0xD8) return 0;
  std::optional<DecodedPicture> decoded = DecodePicture(data, size);
  if (!decoded) return 0;
  // Scaled once, smoothly, to the size it is shown at.
  const int width = scale_.Scale(decoded->width), height = scale_.Scale(decoded->height);
  if (width != decoded->width || height != decoded->height) {
    decoded = ScalePicture(*decoded, width, height);
    if (decoded->width <= 0) return 0;
  }
  auto* pixels = new uchar[decoded->rgb.size()];
  std::memcpy(pixels, decoded->rgb.data(), decoded->rgb.size());
  auto image = std::make_shared<Fl_RGB_Image>(pixels, decoded->width, decoded->height, 3);
  image->alloc_array = 1;  // the image frees the pixels
  const PictureHandle handle = next_handle_++;
  pictures_[handle] = std::move(image);
  return handle;
}

void FltkToolkit::FreePicture(PictureHandle picture) {
  pictures_.erase(picture);
}

std::string FltkToolkit::OpenFileDialog(std::string_view title, std::string_view initial_path,
                                        std::string_view filter, int filter_index) {
  if (!display_ok_) return {};
  // "label|pattern|label|pattern" becomes FLTK's "label\tpattern\n...";
  // several patterns "a;b" become "{a|b}".
  std::string fltk_filter;
  const std::vector<std::string> parts = [&] {
    std::vector<std::string> out;
    std::string rest(filter);
    for (std::size_t bar; (bar = rest.find('|')) != std::string::npos;) {
      out.push_back(rest.substr(0, bar));
      rest.erase(0, bar + 1);
    }
    out.push_back(rest);
    return out;
  }();
  for (std::size_t i = 0; i + 1 < parts.size(); i += 2) {
    std::string pattern = parts[i + 1];
    if (pattern.find(';') != std::string::npos) pattern = "{" + ReplaceAll(pattern, ";", "|") + "}";
    if (!fltk_filter.empty()) fltk_filter += "\n";
    fltk_filter += parts[i] + "\t" + pattern;
  }

  Fl_Native_File_Chooser chooser(Fl_Native_File_Chooser::BROWSE_FILE);
  const std::string title_text(title);
  chooser.title(title_text.c_str());
  if (!fltk_filter.empty()) {
    chooser.filter(fltk_filter.c_str());
    // The index counts from 1 as on Windows; 0 also means the first.
    chooser.filter_value(std::max(filter_index - 1, 0));
  }
  const std::string initial(initial_path);
  std::string folder, file;
  if (IsDirectory(initial)) {
    folder = initial;
  } else if (!initial.empty()) {
    const std::filesystem::path p = FsPath(initial);
    folder = Utf8Path(p.parent_path());
    file = Utf8Path(p.filename());
  }
  if (!folder.empty()) chooser.directory(folder.c_str());
  // The full path: FLTK's own chooser reads a bare name against the current
  // directory, not against the folder set above.
  if (!file.empty()) chooser.preset_file(initial.c_str());

  std::error_code error;
  const std::filesystem::path cwd = std::filesystem::current_path(error);
  const int result = chooser.show();
  if (!error) std::filesystem::current_path(cwd, error);
  if (result != 0 || chooser.filename() == nullptr) return {};
  const std::string chosen = chooser.filename();
  if (chosen.empty()) return {};
  // The folder must exist; the file itself need not.
  if (!IsDirectory(Utf8Path(FsPath(chosen).parent_path()))) return {};
  return chosen;
}

}  // namespace kanade
