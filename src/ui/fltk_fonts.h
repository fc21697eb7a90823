// Font faces for FLTK. Xft draws no glyph that the chosen face lacks, so a
// face without Japanese would show empty boxes: fontconfig is asked for the
// face, and for a Japanese one of the same kind where it is missing.
#pragma once

#include <string>
#include <string_view>

namespace kanade {

/// The installed family to use for `face`: the face itself when fontconfig
/// has it, else the family fontconfig picks for it with Japanese (e.g. "Noto
/// Sans CJK JP", or "Noto Sans Mono CJK JP" for a fixed-pitch face). On
/// Windows the face is returned as it is.
std::string ResolveFontFace(std::string_view face);

/// Whether `face` names a fixed-pitch face ("Courier New", "... Mono").
bool LooksFixedPitch(std::string_view face);

}  // namespace kanade
