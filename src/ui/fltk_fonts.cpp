#include "ui/fltk_fonts.h"

#include "util/text.h"

#if !defined(_WIN32) && !defined(__APPLE__)
#include <fontconfig/fontconfig.h>
#endif

namespace kanade {

bool LooksFixedPitch(std::string_view face) {
  const std::string lower = ToLowerAscii(face);
  for (std::string_view word : {"courier", "mono", "consol", "fixed", "typewriter"}) {
    if (lower.find(word) != std::string::npos) return true;
  }
  return false;
}

#if defined(_WIN32) || defined(__APPLE__)

std::string ResolveFontFace(std::string_view face) {
  return std::string(face);
}

#else

namespace {

struct Match {
  std::string family;
  bool named = false;     // one of its family names is the face asked for
  bool japanese = false;  // it has kana and kanji
};

Match MatchFace(std::string_view query, std::string_view wanted) {
  Match result;
  FcPattern* pattern = FcNameParse(reinterpret_cast<const FcChar8*>(std::string(query).c_str()));
  if (pattern == nullptr) return result;
  FcPatternAddString(pattern, FC_LANG, reinterpret_cast<const FcChar8*>("ja"));
  FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
  FcDefaultSubstitute(pattern);
  FcResult status = FcResultNoMatch;
  FcPattern* match = FcFontMatch(nullptr, pattern, &status);
  FcPatternDestroy(pattern);
  if (match == nullptr) return result;
  FcChar8* family = nullptr;
  for (int i = 0; FcPatternGetString(match, FC_FAMILY, i, &family) == FcResultMatch; ++i) {
    const std::string name(reinterpret_cast<const char*>(family));
    if (i == 0) result.family = name;
    if (ToLowerAscii(name) == ToLowerAscii(wanted)) {
      result.family = name;
      result.named = true;
    }
  }
  FcCharSet* charset = nullptr;
  if (FcPatternGetCharSet(match, FC_CHARSET, 0, &charset) == FcResultMatch) {
    // あ, ア and 漢: a face with these has the program's Japanese texts.
    result.japanese = FcCharSetHasChar(charset, 0x3042) && FcCharSetHasChar(charset, 0x30A2) &&
                      FcCharSetHasChar(charset, 0x6F22);
  }
  FcPatternDestroy(match);
  return result;
}

}  // namespace

std::string ResolveFontFace(std::string_view face) {
  if (!FcInit()) return std::string(face);
  const Match exact = MatchFace(face, face);
  if (exact.named) return exact.family;
  if (exact.japanese) return exact.family;
  const Match generic = MatchFace(LooksFixedPitch(face) ? "monospace" : "sans-serif", "");
  if (generic.japanese || exact.family.empty()) return generic.family;
  return exact.family;
}

#endif

}  // namespace kanade
