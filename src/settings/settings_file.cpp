#include "settings/settings_file.h"

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string_view>

#include "discovery/game_location.h"
#include "repos/repository_server.h"
#include "state/patcher_state.h"
#include "util/contained_folder.h"
#include "util/path.h"
#include "util/text.h"

namespace kanade {

namespace {

constexpr std::string_view kSettingsName = "kanade.ini";
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
// Far beyond the eight short lines the program writes and any junk an editor
// leaves; an endless file that someone else put there is not read whole.
constexpr std::size_t kMaxSettingsBytes = std::size_t{16} << 20;

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
    if (IsLocalisationMode(mode)) s.LocalizationMode = mode;
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

// kanade.ini where it lies: in the program folder, or where the links
// there lead that the player or an administrator made (ContainedFolder
// follows no others). Nothing when it is someone else's link or file.
struct SettingsPlace {
  ContainedFolder folder;
  std::string name;
};

std::optional<SettingsPlace> FindSettingsFile() {
  constexpr int kMaxLinks = 8;
  auto folder = ContainedFolder::Open(StripTrailingSeparators(ProgramFolder), {}, false);
  std::string name(kSettingsName);
  for (int links = 0; folder && folder->KindOf(name) == EntryKind::kLink; ++links) {
    const auto target = links < kMaxLinks ? folder->TrustedLinkTarget(name) : std::nullopt;
    if (!target) return std::nullopt;
    const std::filesystem::path path = FsPath(*target);
    folder = ContainedFolder::Open(Utf8Path(path.parent_path()), {}, false);
    name = Utf8Path(path.filename());
  }
  if (!folder || folder->ForeignOwner(name)) return std::nullopt;
  return SettingsPlace{std::move(*folder), std::move(name)};
}

// Replaces the file in one step; where no temporary file can be made or
// renamed beside it (a program folder the user may not write to, or on
// Windows a reader that does not share deletion), rewrites it where it lies:
// less safe than a rename, but the only way the choice survives the next
// start.
void WriteSettingsText(const ContainedFolder& folder, const std::string& name,
                       std::string_view text) {
  if (auto file = folder.CreateTemporary(name)) {
    if (file->Write(text.data(), text.size()) && file->Finish(true) &&
        folder.MoveIntoPlace(*file, name)) {
      return;
    }
  }
  folder.OverwriteInPlace(name, text);
}

}  // namespace

std::string SettingsFilePath() {
  return ProgramFolder + std::string(PathSeparator) + std::string(kSettingsName);
}

void LoadSettings() {
  // Never read through someone else's link, nor from a pipe that would hold
  // the start up.
  const auto place = FindSettingsFile();
  if (const auto bytes =
          place ? place->folder.ReadWhole(place->name, kMaxSettingsBytes) : std::nullopt) {
    std::string_view text = *bytes;
    // Editors such as Notepad may have put a byte-order mark in front.
    if (StartsWith(text, kUtf8Bom)) text.remove_prefix(kUtf8Bom.size());
    for (const std::string& line : SplitLines(text)) ApplySetting(line);
  }
  // Live translation is not available yet, whatever the file says.
  State().EnableLuaIntegration = 0;
}

void SaveSettings() {
  const auto place = FindSettingsFile();
  if (!place) return;
  const ContainedFolder& folder = place->folder;
  const std::string& name = place->name;
  // Windows refuses to replace a read-only file; do the same everywhere. A
  // hard link or a special file that someone else may have put in the
  // folder counts as not writable too.
  if (folder.KindOf(name) != EntryKind::kMissing &&
      (!folder.IsSoleFile(name) || folder.IsReadOnly(name))) {
    return;
  }
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
  WriteSettingsText(folder, name, text);
}

}  // namespace kanade
