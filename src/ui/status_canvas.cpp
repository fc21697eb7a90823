#include "ui/status_canvas.h"

#include <random>

#include "state/patcher_state.h"
#include "ui/console.h"
#include "ui/main_window.h"
#include "util/clock.h"
#include "util/path.h"
#include "util/text.h"

namespace kanade {

namespace {

struct Rotation {
  std::vector<std::span<const std::uint8_t>> images;
  PictureHandle current = 0;
  std::int64_t next_time = 0;
  double last_tick_redraw = 0;
};

Rotation& Backdrops() {
  static Rotation rotation;
  return rotation;
}

void PickBackdrop(Toolkit& toolkit) {
  Rotation& r = Backdrops();
  if (r.images.empty()) return;
  static std::mt19937 random{std::random_device{}()};
  std::uniform_int_distribution<std::size_t> pick(0, r.images.size() - 1);
  const auto& data = r.images[pick(random)];
  if (r.current != 0) toolkit.FreePicture(r.current);
  r.current = toolkit.DecodeJpeg(data.data(), data.size());
}

void DrawFolderLine(Toolkit& toolkit, int y, const std::string& folder) {
  if (IsDirectory(folder)) {
    toolkit.DrawText(100, y, ShortenMiddle(folder, 20, 50), kWhite);
  } else {
    toolkit.DrawText(100, y, kUnknownFolderText, kRed);
  }
}

void DrawBox(Toolkit& toolkit, ControlHandle button, double hover_until) {
  const Rgb colour = GetClock().ElapsedMs() < hover_until ? kYellow : Rgb{200, 200, 200};
  const Rect r = toolkit.ControlRect(button);
  toolkit.FillRect(r, colour);
  toolkit.FillRect({r.x + 1, r.y + 1, r.width - 2, r.height - 2}, kBlack);
  toolkit.DrawText(r.x + r.width / 2 - 12, r.y + r.height / 2 - 8, toolkit.GetText(button), colour);
}

}  // namespace

void SetBackdropImages(std::vector<std::span<const std::uint8_t>> images) {
  Backdrops().images = std::move(images);
}

void ResetBackdropRotation() {
  Rotation& r = Backdrops();
  if (r.current != 0 && GetToolkit() != nullptr) GetToolkit()->FreePicture(r.current);
  r.current = 0;
  r.next_time = 0;
  r.last_tick_redraw = 0;
}

PictureHandle CurrentBackdrop() {
  return Backdrops().current;
}

void DrawStatusCanvas(bool force) {
  Toolkit* toolkit = GetToolkit();
  if (toolkit == nullptr || MainCanvas == 0) return;
  Rotation& r = Backdrops();
  Clock& clock = GetClock();
  if (force) CanvasDirty = true;

  const std::int64_t now_s = clock.WallSeconds();
  if (now_s > r.next_time) {
    r.next_time = now_s + 30;
    PickBackdrop(*toolkit);
    CanvasDirty = true;
  }
  const double now_ms = clock.ElapsedMs();
  if (now_ms - r.last_tick_redraw >= 100) {
    CanvasDirty = true;
    r.last_tick_redraw = now_ms;
  }
  if (!CanvasDirty) return;
  CanvasDirty = false;
  if (!toolkit->BeginDraw(MainCanvas)) return;

  toolkit->SetTransparentTextBackground();
  toolkit->SelectFont(CanvasFont);
  if (r.current != 0) toolkit->DrawPicture(r.current, 0, 0);
  DrawFolderLine(*toolkit, 85, State().GameFolder);
  DrawFolderLine(*toolkit, 102, State().DataFolder);
  DrawBox(*toolkit, SettingsButton, State().SettingsHoverUntil);
  DrawBox(*toolkit, RefreshButton, State().RefreshHoverUntil);
  DrawConsole(13, 138, 9);
  toolkit->EndDraw(MainCanvas);
}

}  // namespace kanade
