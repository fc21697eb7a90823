#include "ui/responsiveness.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "ui/toolkit.h"
#include "util/clock.h"

namespace kanade {

namespace {

std::function<void()>& Repaint() {
  static std::function<void()> repaint;
  return repaint;
}

bool inside = false;
double last_repaint_ms = -1e18;
std::chrono::steady_clock::time_point last_pump;

}  // namespace

void SetResponsiveRepaint(std::function<void()> repaint) {
  Repaint() = std::move(repaint);
}

void KeepResponsive() {
  Toolkit* toolkit = GetToolkit();
  if (toolkit == nullptr || inside) return;
  inside = true;
  // A busy transfer calls in very often; the window needs far fewer looks.
  const auto real_now = std::chrono::steady_clock::now();
  if (real_now - last_pump >= std::chrono::milliseconds(10)) {
    last_pump = real_now;
    toolkit->PumpEvents();
  }
  const double now = GetClock().ElapsedMs();
  if (Repaint() && now - last_repaint_ms >= 100) {
    last_repaint_ms = now;
    Repaint()();
  }
  inside = false;
}

void ResponsivePause(int ms) {
  Clock& clock = GetClock();
  const double end = clock.ElapsedMs() + ms;
  for (double now = clock.ElapsedMs(); now < end; now = clock.ElapsedMs()) {
    KeepResponsive();
    clock.Pause(static_cast<int>(std::min(50.0, end - now + 0.999)));
  }
}

}  // namespace kanade
