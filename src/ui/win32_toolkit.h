// The toolkit on Win32: real windows, common controls, GDI drawing and the
// system file dialog. Window procedures only queue events; the program
// handles them when it asks WaitEvent for the next one. Each window shows
// the layout at the scale of its monitor, and follows it to another.
#pragma once

#include <memory>
#include <vector>

#include "ui/layout_report.h"
#include "ui/toolkit.h"

namespace kanade {

/// The Win32 toolkit (Windows builds only).
std::unique_ptr<Toolkit> MakeWin32Toolkit();

/// The texts and boxes of a window of `toolkit` (made by MakeWin32Toolkit)
/// as shown, for tests.
std::vector<LayoutItem> ReportWin32Layout(Toolkit& toolkit, WindowHandle window);

}  // namespace kanade
