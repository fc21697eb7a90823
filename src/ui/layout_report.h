// What a toolkit backend shows of a window, in device pixels, with the text
// measured by the backend's own font metrics: the end-to-end tests check
// with it that every text fits its box at every display scale.
#pragma once

#include <string>

#include "ui/toolkit.h"

namespace kanade {

struct LayoutItem {
  /// "label", "button", "check", "option" or "field" for a control (hidden
  /// controls, frames and multi-line boxes are left out); "text" or "fill"
  /// for what the last frame of a canvas drew.
  std::string kind;
  std::string text;
  /// The rectangle the program gave, in layout pixels (controls only).
  Rect layout;
  /// The control as shown; for a drawn text the text's own rectangle, for
  /// a fill the filled rectangle.
  Rect box;
  /// The part of the box that the text may take: the box without a check
  /// mark or a button's edges.
  Rect area;
  /// The text's size, one line unless the control wraps it.
  int text_width = 0;
  int text_height = 0;
};

}  // namespace kanade
