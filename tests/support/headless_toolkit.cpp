#include "support/headless_toolkit.h"

namespace kanade {

HeadlessToolkit::HeadlessToolkit(int dpi) : scale_(dpi) {
  SetClock(&clock_);
}

HeadlessToolkit::~HeadlessToolkit() {
  if (&GetClock() == &clock_) SetClock(nullptr);
  if (GetToolkit() == this) SetToolkit(nullptr);
}

WindowHandle HeadlessToolkit::OpenWindow(int client_width, int client_height,
                                         std::string_view title, bool minimise_box,
                                         WindowHandle owner) {
  const WindowHandle handle = next_handle_++;
  Window& w = windows_[handle];
  w.width = client_width;
  w.height = client_height;
  w.device_width = scale_.Scale(client_width);
  w.device_height = scale_.Scale(client_height);
  w.title = std::string(title);
  w.minimise_box = minimise_box;
  w.owner = owner;
  return handle;
}

void HeadlessToolkit::SetBackgroundColour(WindowHandle window, Rgb colour) {
  if (auto it = windows_.find(window); it != windows_.end()) it->second.background = colour;
}

void HeadlessToolkit::CloseWindow(WindowHandle window) {
  auto it = windows_.find(window);
  if (it == windows_.end()) return;
  it->second.open = false;
  it->second.timers.clear();
  // Controls die with their window.
  for (auto c = controls_.begin(); c != controls_.end();) {
    c = c->second.window == window ? controls_.erase(c) : std::next(c);
  }
  std::erase_if(control_order_, [this](ControlHandle h) { return !controls_.count(h); });
}

void HeadlessToolkit::AddTimer(WindowHandle window, int id, int period_ms) {
  if (auto it = windows_.find(window); it != windows_.end() && it->second.open) {
    it->second.timers[id] = period_ms;
  }
}

void HeadlessToolkit::RequestTimerEvent(WindowHandle window, int id) {
  ++timer_requests_;
  Event e;
  e.kind = EventKind::kTimer;
  e.window = window;
  e.timer_id = id;
  requested_timer_ = e;
}

Event HeadlessToolkit::WaitEvent() {
  if (!events_.empty()) {
    Event e = events_.front();
    events_.pop_front();
    return e;
  }
  if (requested_timer_) {
    const Event e = *requested_timer_;
    requested_timer_.reset();
    return e;
  }
  // Idle: the first timer of the oldest open window fires after its period.
  for (auto& [handle, w] : windows_) {
    if (timer_budget_ == 0) break;
    if (!w.open || w.timers.empty()) continue;
    const auto& [id, period] = *w.timers.begin();
    clock_.Advance(period);
    if (timer_budget_ > 0) --timer_budget_;
    Event e;
    e.kind = EventKind::kTimer;
    e.window = handle;
    e.timer_id = id;
    return e;
  }
  // Nothing could ever arrive (or the test's budget is spent): ask the
  // oldest open window to close rather than block a test forever.
  Event e;
  e.kind = EventKind::kCloseRequest;
  for (auto& [handle, w] : windows_) {
    if (w.open) {
      e.window = handle;
      break;
    }
  }
  return e;
}

Point HeadlessToolkit::PointerPosition(WindowHandle window) {
  auto it = pointers_.find(window);
  return it == pointers_.end() ? Point{-1, -1} : scale_.Unscale(it->second);
}

ControlHandle HeadlessToolkit::CreateControl(WindowHandle window, ControlKind kind, Rect rect,
                                             std::string_view caption) {
  auto w = windows_.find(window);
  if (w == windows_.end() || !w->second.open) return 0;
  const ControlHandle handle = next_handle_++;
  Control& c = controls_[handle];
  c.window = window;
  c.kind = kind;
  c.rect = rect;
  c.device_rect = scale_.Scale(rect);
  c.caption = std::string(caption);
  c.text = c.caption;
  control_order_.push_back(handle);
  return handle;
}

void HeadlessToolkit::SetFont(ControlHandle control, FontHandle font) {
  if (auto it = controls_.find(control); it != controls_.end()) it->second.font = font;
}

void HeadlessToolkit::SetTextColour(ControlHandle control, Rgb colour) {
  if (auto it = controls_.find(control); it != controls_.end()) {
    it->second.text_colour = colour;
    it->second.has_text_colour = true;
  }
}

void HeadlessToolkit::SetText(ControlHandle control, std::string_view text) {
  if (auto it = controls_.find(control); it != controls_.end()) it->second.text = std::string(text);
}

void HeadlessToolkit::SetChecked(ControlHandle control, bool checked) {
  if (auto it = controls_.find(control); it != controls_.end()) it->second.checked = checked;
}

std::string HeadlessToolkit::GetText(ControlHandle control) {
  auto it = controls_.find(control);
  return it == controls_.end() ? std::string() : it->second.text;
}

bool HeadlessToolkit::IsChecked(ControlHandle control) {
  auto it = controls_.find(control);
  return it != controls_.end() && it->second.checked;
}

void HeadlessToolkit::SetEnabled(ControlHandle control, bool enabled) {
  if (auto it = controls_.find(control); it != controls_.end()) it->second.enabled = enabled;
}

void HeadlessToolkit::Hide(ControlHandle control) {
  if (auto it = controls_.find(control); it != controls_.end()) it->second.hidden = true;
}

void HeadlessToolkit::SetDefaultButton(ControlHandle button) {
  auto it = controls_.find(button);
  if (it == controls_.end()) return;
  for (auto& [handle, c] : controls_) {
    if (c.window == it->second.window) c.default_button = handle == button;
  }
}

Rect HeadlessToolkit::ControlRect(ControlHandle control) {
  auto it = controls_.find(control);
  return it == controls_.end() ? Rect{} : it->second.rect;
}

FontHandle HeadlessToolkit::LoadFont(std::string_view face, int points) {
  const FontHandle handle = next_handle_++;
  fonts_[handle] = Font{std::string(face), points, scale_.FontPixels(points)};
  return handle;
}

bool HeadlessToolkit::BeginDraw(ControlHandle canvas) {
  if (fail_next_begin_ || !controls_.count(canvas)) {
    fail_next_begin_ = false;
    return false;
  }
  frame_.clear();
  drawing_ = true;
  return true;
}

void HeadlessToolkit::EndDraw(ControlHandle /*canvas*/) {
  if (!drawing_) return;
  drawing_ = false;
  last_frame_ = std::move(frame_);
  frame_.clear();
  ++frames_drawn_;
}

namespace {
HeadlessToolkit::DrawCall Call(HeadlessToolkit::DrawKind kind, int x = 0, int y = 0) {
  HeadlessToolkit::DrawCall call;
  call.kind = kind;
  call.x = x;
  call.y = y;
  return call;
}
}  // namespace

void HeadlessToolkit::SetTransparentTextBackground() {
  frame_.push_back(Call(DrawKind::kTransparent));
}

void HeadlessToolkit::SelectFont(FontHandle font) {
  DrawCall call = Call(DrawKind::kSelectFont);
  call.handle = font;
  frame_.push_back(call);
}

void HeadlessToolkit::DrawPicture(PictureHandle picture, int x, int y) {
  DrawCall call = Call(DrawKind::kPicture, x, y);
  call.handle = picture;
  frame_.push_back(call);
}

void HeadlessToolkit::DrawText(int x, int y, std::string_view text, Rgb colour) {
  DrawCall call = Call(DrawKind::kText, x, y);
  call.text = std::string(text);
  call.colour = colour;
  frame_.push_back(call);
}

void HeadlessToolkit::SetColour(Rgb colour) {
  DrawCall call = Call(DrawKind::kColour);
  call.colour = colour;
  frame_.push_back(call);
}

void HeadlessToolkit::FillRect(Rect rect, Rgb colour) {
  DrawCall call = Call(DrawKind::kFill, rect.x, rect.y);
  call.rect = rect;
  call.colour = colour;
  frame_.push_back(call);
}

PictureHandle HeadlessToolkit::DecodeJpeg(const std::uint8_t* data, std::size_t size) {
  // Only the JPEG start-of-image marker is checked; nothing is decoded here.
  if (data == nullptr || size < 2 || data[0] != 0xFF || data[1] != 0xD8) return 0;
  const PictureHandle handle = next_handle_++;
  pictures_[handle] = size;
  return handle;
}

void HeadlessToolkit::FreePicture(PictureHandle picture) {
  pictures_.erase(picture);
}

std::string HeadlessToolkit::OpenFileDialog(std::string_view title, std::string_view initial_path,
                                            std::string_view filter, int filter_index) {
  dialog_requests_.push_back(
      {std::string(title), std::string(initial_path), std::string(filter), filter_index});
  if (dialog_answers_.empty()) return {};
  std::string answer = dialog_answers_.front();
  dialog_answers_.pop_front();
  return answer;
}

void HeadlessToolkit::Click(WindowHandle window, ControlHandle control) {
  Event e;
  e.kind = EventKind::kControl;
  e.window = window;
  e.control = control;
  e.type = ControlEventType::kLeftClick;
  events_.push_back(e);
}

void HeadlessToolkit::KeyPress(WindowHandle window, ControlHandle control, int key) {
  Event e;
  e.kind = EventKind::kControl;
  e.window = window;
  e.control = control;
  e.type = ControlEventType::kKeyPress;
  e.key = key;
  events_.push_back(e);
}

const HeadlessToolkit::Window* HeadlessToolkit::window(WindowHandle handle) const {
  auto it = windows_.find(handle);
  return it == windows_.end() ? nullptr : &it->second;
}

const HeadlessToolkit::Control* HeadlessToolkit::control(ControlHandle handle) const {
  auto it = controls_.find(handle);
  return it == controls_.end() ? nullptr : &it->second;
}

std::vector<ControlHandle> HeadlessToolkit::ControlsOf(WindowHandle window) const {
  std::vector<ControlHandle> result;
  for (ControlHandle h : control_order_) {
    if (controls_.at(h).window == window) result.push_back(h);
  }
  return result;
}

ControlHandle HeadlessToolkit::FindControl(WindowHandle window, std::string_view caption) const {
  for (ControlHandle h : control_order_) {
    const Control& c = controls_.at(h);
    if (c.window == window && c.caption == caption) return h;
  }
  return 0;
}

const HeadlessToolkit::Font* HeadlessToolkit::font(FontHandle handle) const {
  auto it = fonts_.find(handle);
  return it == fonts_.end() ? nullptr : &it->second;
}

std::vector<HeadlessToolkit::DrawCall> HeadlessToolkit::TextsDrawn() const {
  std::vector<DrawCall> texts;
  for (const DrawCall& call : last_frame_) {
    if (call.kind == DrawKind::kText) texts.push_back(call);
  }
  return texts;
}

}  // namespace kanade
