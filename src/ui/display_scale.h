// Display scale. The layout is written in 96-DPI pixels; each toolkit
// backend shows it at the display's DPI by multiplying every size and
// position, and the fonts, by one factor: DPI / 96.
#pragma once

#include "ui/toolkit.h"

namespace kanade {

inline constexpr int kLayoutDpi = 96;

class DisplayScale {
 public:
  explicit DisplayScale(int dpi = kLayoutDpi);

  int dpi() const { return dpi_; }
  /// A layout length or coordinate in device pixels, rounded to nearest.
  int Scale(int value) const;
  /// Each edge scaled on its own, so that boxes that touch still touch and
  /// boxes apart stay apart.
  Rect Scale(Rect rect) const;
  /// The layout pixel that covers device pixel `device`: a point inside
  /// Scale(rect) always maps into rect.
  int Unscale(int device) const;
  Point Unscale(Point device) const;
  /// The pixel height of a font of `points` points: points x DPI / 72, rounded.
  int FontPixels(int points) const;

 private:
  int dpi_;
};

/// The DPI to use when a display reports `reported`: 96 when it reports
/// none or an absurd value (outside 48 to 480).
int UsableDpi(double reported);

/// The DPI for a desktop that reports its monitor's physical DPI (X11): the
/// nearest step of 25 % at or above 100 %, so that a monitor reporting 93 or
/// 101 shows the layout at 100 % and one reporting 144 at 150 %.
int DesktopStepDpi(double reported);

}  // namespace kanade
