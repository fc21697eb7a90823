#include "ui/display_scale.h"

#include <algorithm>
#include <cmath>

namespace kanade {

namespace {

// a / b rounded down, also for negative a (b > 0).
long long FloorDiv(long long a, long long b) {
  return a >= 0 ? a / b : -((-a + b - 1) / b);
}

}  // namespace

DisplayScale::DisplayScale(int dpi) : dpi_(dpi > 0 ? dpi : kLayoutDpi) {}

int DisplayScale::Scale(int value) const {
  // Half a layout pixel rounds away from the origin, as MulDiv does.
  const long long scaled = static_cast<long long>(value) * dpi_;
  return static_cast<int>(value >= 0 ? (scaled + kLayoutDpi / 2) / kLayoutDpi
                                     : -((-scaled + kLayoutDpi / 2) / kLayoutDpi));
}

Rect DisplayScale::Scale(Rect rect) const {
  const int left = Scale(rect.x);
  const int top = Scale(rect.y);
  return Rect{left, top, Scale(rect.x + rect.width) - left, Scale(rect.y + rect.height) - top};
}

int DisplayScale::Unscale(int device) const {
  // A first guess, then the exact answer: the largest u with Scale(u) <= device.
  int u = static_cast<int>(FloorDiv(static_cast<long long>(device) * kLayoutDpi, dpi_));
  while (Scale(u + 1) <= device) ++u;
  while (Scale(u) > device) --u;
  return u;
}

Point DisplayScale::Unscale(Point device) const {
  return Point{Unscale(device.x), Unscale(device.y)};
}

int DisplayScale::FontPixels(int points) const {
  return static_cast<int>(std::lround(points * static_cast<double>(dpi_) / 72));
}

int UsableDpi(double reported) {
  if (!(reported >= 48 && reported <= 480)) return kLayoutDpi;
  return static_cast<int>(std::lround(reported));
}

int DesktopStepDpi(double reported) {
  constexpr int kStep = kLayoutDpi / 4;
  const int dpi = UsableDpi(reported);
  return std::max(kLayoutDpi, static_cast<int>(std::lround(dpi / double(kStep))) * kStep);
}

}  // namespace kanade
