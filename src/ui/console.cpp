#include "ui/console.h"

#include <algorithm>

#include "ui/log_file.h"
#include "util/text.h"

namespace kanade {

namespace {

ConsoleState& Store() {
  static ConsoleState state{{std::string()}, {kWhite}};
  return state;
}

int Resolve(int index) {
  const ConsoleState& s = Store();
  if (index == 0) return s.Last;
  if (index < 0 || index > s.Last) return -1;
  return index;
}

}  // namespace

const ConsoleState& Console() {
  return Store();
}

void CreateConsole() {
  Store() = ConsoleState{{std::string()}, {kWhite}};
}

int AddConsoleLine(std::string_view text, Rgb colour) {
  ConsoleState& s = Store();
  s.Last += 1;
  s.Lines.resize(static_cast<std::size_t>(s.Last) + 1);
  s.Colours.resize(static_cast<std::size_t>(s.Last) + 1, kWhite);
  s.Lines[static_cast<std::size_t>(s.Last)] = std::string(text);
  s.Colours[static_cast<std::size_t>(s.Last)] = colour;
  WriteLogLine(std::string("> ") + std::string(text));
  CanvasDirty = true;
  s.Scroll = 0;
  return s.Last;
}

void SetConsoleLineText(std::string_view text, int index) {
  const int n = Resolve(index);
  if (n < 0) return;
  Store().Lines[static_cast<std::size_t>(n)] = std::string(text);
  WriteLogLine(std::string("< ") + std::string(text));
  CanvasDirty = true;
}

void SetConsoleLineColour(Rgb colour, int index) {
  const int n = Resolve(index);
  if (n < 0) return;
  Store().Colours[static_cast<std::size_t>(n)] = colour;
  CanvasDirty = true;
}

void LogReason(std::string_view reason) {
  WriteLogLine("! " + std::string(reason.empty() ? "no reason given" : reason));
}

void SetConsoleFootLine(std::string_view text, bool logged) {
  ConsoleState& s = Store();
  if (s.Foot == text && !logged) return;
  s.Foot = std::string(text);
  if (logged && !text.empty()) WriteLogLine("~ " + s.Foot);
  CanvasDirty = true;
}

void ResetConsole() {
  ConsoleState& s = Store();
  const int visible = s.VisibleLines;
  s = ConsoleState{{std::string(ConsoleTitle)}, {kWhite}};
  s.VisibleLines = visible;
  WriteLogLine("");
  WriteLogLine(std::string("> ") + std::string(ConsoleTitle));
  CanvasDirty = true;
}

void ScrollConsoleUp() {
  ConsoleState& s = Store();
  s.Scroll += 1;
  // Far enough for the first shown line, Last - Scroll - Visible + 1, to be
  // the title line.
  const int limit = s.Last - s.VisibleLines + 1;
  if (s.Scroll >= limit) s.Scroll = limit;
  if (s.Scroll < 0) s.Scroll = 0;
  CanvasDirty = true;
}

void ScrollConsoleDown() {
  ConsoleState& s = Store();
  s.Scroll -= 1;
  if (s.Scroll < 0) s.Scroll = 0;
  CanvasDirty = true;
}

int FirstVisibleConsoleLine(int visible) {
  const ConsoleState& s = Store();
  return std::max(0, s.Last - s.Scroll - visible + 1);
}

void DrawConsole(int x, int y, int visible) {
  ConsoleState& s = Store();
  // The foot line takes the last row; the others scroll above it.
  const int rows = s.Foot.empty() || visible < 2 ? visible : visible - 1;
  s.VisibleLines = rows;
  Toolkit* toolkit = GetToolkit();
  if (toolkit == nullptr) return;
  toolkit->SetTransparentTextBackground();
  toolkit->SelectFont(CanvasFont);
  const int last = s.Last - s.Scroll;
  int line_y = y;
  for (int i = FirstVisibleConsoleLine(rows); i <= last; ++i) {
    const auto n = static_cast<std::size_t>(i);
    toolkit->DrawText(x, line_y, ShortenMiddle(s.Lines[n], 40, 50), s.Colours[n]);
    line_y += 16;
  }
  if (rows < visible) toolkit->DrawText(x, line_y, ShortenMiddle(s.Foot, 40, 50), kWhite);
}

}  // namespace kanade
