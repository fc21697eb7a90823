#include "ui/toolkit.h"

namespace kanade {

namespace {
Toolkit* current_toolkit = nullptr;
}

Toolkit* GetToolkit() {
  return current_toolkit;
}

void SetToolkit(Toolkit* toolkit) {
  current_toolkit = toolkit;
}

bool PointInControl(int x, int y, ControlHandle control) {
  Toolkit* toolkit = GetToolkit();
  if (toolkit == nullptr || control == 0) return false;
  const Rect r = toolkit->ControlRect(control);
  return r.x <= x && x < r.x + r.width && r.y <= y && y < r.y + r.height;
}

}  // namespace kanade
