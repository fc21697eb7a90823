#include "settings/settings_file.h"

#include <cstdio>
#include <optional>
#include <string_view>

#include "discovery/game_location.h"
#include "state/patcher_state.h"
#include "util/path.h"
#include "util/text.h"

namespace kanade {

namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

bool IsKnownMode(std::string_view mode) {
  return mode == "kanade-test" || mode == "kanade-conv-test" || mode == "kanade-prefixed";
}

void ApplySetting(std::string_view line) {
  const std::string content = TextBefore(line, ";");
  const std::string key = ToLowerAscii(TrimSpaces(TextBefore(content, "=")));
  const std::string value = TrimSpaces(TextAfter(content, "="));
  PatcherState& s = State();
  if (key == "gamelocationoverride") {
    s.GameLocationOverride = value;
    ValidateGameFolder(value);
  } else if (key == "enablelocalization") {
    s.EnableLocalization = ParseInteger(value) != 0 ? 1 : 0;
  } else if (key == "enableluaintegration") {
    s.EnableLuaIntegration = ParseInteger(value) != 0 ? 1 : 0;
  } else if (key == "livetranslationtoken") {
    s.LiveTranslationToken = value;
  } else if (key == "localizationmode") {
    const std::string mode = ToLowerAscii(value);
    if (IsKnownMode(mode)) s.LocalizationMode = mode;
  }
}

// A line break inside a value would split it into lines that read back as
// other settings; such a value cannot survive a round trip anyway.
std::string SingleLine(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (const char c : value) {
    if (c != '\r' && c != '\n') out += c;
  }
  return out;
}

// Rewrites an existing file where it is, for when no temporary file can be
// made or renamed beside it: a program folder the user may not write to, or
// on Windows a reader that does not share deletion. Less safe than a rename,
// but the only way the choice survives the next start.
bool OverwriteInPlace(const std::string& path, std::string_view text) {
  if (!IsFile(path)) return false;
  const UniqueFile file(OpenFile(path, "wb"));
  if (!file) return false;
  const bool written = std::fwrite(text.data(), 1, text.size(), file.get()) == text.size();
  return std::fflush(file.get()) == 0 && written;
}

}  // namespace

std::string SettingsFilePath() {
  return ProgramFolder + std::string(PathSeparator) + "kanade.ini";
}

void LoadSettings() {
  const std::string path = SettingsFilePath();
  if (IsFile(path)) {
    if (const std::optional<std::string> bytes = ReadFileBytes(path)) {
      std::string_view text = *bytes;
      // Editors such as Notepad may have put a byte-order mark in front.
      if (StartsWith(text, kUtf8Bom)) text.remove_prefix(kUtf8Bom.size());
      for (const std::string& line : SplitLines(text)) ApplySetting(line);
    }
  }
  // Live translation is not available yet, whatever the file says.
  State().EnableLuaIntegration = 0;
}

void SaveSettings() {
  const std::string path = SettingsFilePath();
  // Windows refuses to replace a read-only file; do the same everywhere.
  if (IsReadOnlyFile(path)) return;
  const PatcherState& s = State();
  std::string text;
  const auto line = [&text](std::string_view content) {
    text += content;
    text += CrLf;
  };
  line("; Localization related settings");
  line("EnableLocalization=" + std::to_string(s.EnableLocalization != 0 ? 1 : 0));
  line("LocalizationMode=" + SingleLine(s.LocalizationMode));
  line("GameLocationOverride=" + SingleLine(s.GameLocationOverride));
  line("");
  line("; Lua Related settings");
  line("EnableLuaIntegration=" + std::to_string(s.EnableLuaIntegration != 0 ? 1 : 0));
  line("LiveTranslationToken=" + SingleLine(s.LiveTranslationToken));
  if (!WriteFileAtomically(path, text)) OverwriteInPlace(path, text);
}

}  // namespace kanade
