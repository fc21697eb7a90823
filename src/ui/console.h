// The console: coloured lines painted on the main canvas, each addition and
// rewrite mirrored to the log ("> " new, "< " rewritten).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "kanade_version.h"
#include "ui/toolkit.h"

namespace kanade {

// The build number is the project's VERSION (CMakeLists.txt).
inline constexpr std::string_view ConsoleTitle =
    "Kanade 非公式日本語化Patcher Build " KANADE_VERSION;

struct ConsoleState {
  std::vector<std::string> Lines;
  std::vector<Rgb> Colours;
  int Last = 0;
  int Scroll = 0;
  int VisibleLines = 0;
  std::string Foot = {};  // shown under the lines while set; never scrolled away
};

/// Read access for the canvas and for tests.
const ConsoleState& Console();

/// Set by every console operation; the canvas redraw clears it.
inline bool CanvasDirty = false;

/// Empties the store to one blank line without logging (start-up).
void CreateConsole();

/// Appends a line (white by default) and returns its index.
int AddConsoleLine(std::string_view text, Rgb colour = kWhite);

/// Replaces the text of line `index` (0: the newest line) and logs it.
/// An index above the newest line is ignored.
void SetConsoleLineText(std::string_view text, int index = 0);

/// Recolours line `index` (0: the newest line); not logged.
void SetConsoleLineColour(Rgb colour, int index = 0);

/// Writes why the last red line failed to the log (not the console), as
/// "! " + reason, so that it is never taken for a console line.
void LogReason(std::string_view reason);

/// Shows `text` under the other lines, in place of the foot line there was
/// (empty: none): a line that goes again, such as the progress of the
/// downloads. Logged as "~ " + text when `logged`.
void SetConsoleFootLine(std::string_view text, bool logged);

/// Starts the console again with its title line.
void ResetConsole();

void ScrollConsoleUp();
void ScrollConsoleDown();

/// Draws the visible lines from (x, y) downwards, 16 pixels apart.
void DrawConsole(int x, int y, int visible);

/// The first line DrawConsole shows: one line per scroll step.
int FirstVisibleConsoleLine(int visible);

}  // namespace kanade
