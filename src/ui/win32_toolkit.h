// The toolkit on Win32: real windows, common controls, GDI drawing and the
// system file dialog. Window procedures only queue events; the program
// handles them when it asks WaitEvent for the next one.
#pragma once

#include <memory>

#include "ui/toolkit.h"

namespace kanade {

/// The Win32 toolkit (Windows builds only).
std::unique_ptr<Toolkit> MakeWin32Toolkit();

}  // namespace kanade
