// Without a registry: Steam's folder is answered from the user's home, where
// the Linux Steam client lives and runs the game through Proton. Everything
// else, the stand-alone game's key among it, has no value.
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "discovery/registry.h"
#include "util/path.h"
#include "util/text.h"
#include "util/utf.h"

namespace kanade {

namespace {

std::string HomeFolder() {
  const char* home = std::getenv("HOME");
  return home != nullptr ? std::string(home) : std::string();
}

// Where Steam clients keep their root, most common first: the links the
// client maintains, the native and Debian packages, Flatpak and Snap. A
// folder without "steamapps" is a leftover (or a link to nowhere) and holds
// no library, so the search goes on.
std::string SteamClientFolder() {
  const std::string home = HomeFolder();
  if (home.empty()) return {};
  for (const char* relative :
       {"/.steam/steam", "/.steam/root", "/.local/share/Steam", "/.steam/debian-installation",
        "/.var/app/com.valvesoftware.Steam/.local/share/Steam",
        "/snap/steam/common/.local/share/Steam"}) {
    std::error_code ec;
    const auto folder = std::filesystem::canonical(FsPath(home + relative), ec);
    if (ec) continue;
    const std::string path = Utf8Path(folder);
    if (IsDirectory(path + "/steamapps")) return path;
  }
  return {};
}

std::string Utf16LeString(std::string_view text) {
  std::string bytes;
  for (const char16_t unit : Utf8ToUtf16(text)) {
    bytes += static_cast<char>(unit & 0xFF);
    bytes += static_cast<char>(unit >> 8);
  }
  bytes.append(2, '\0');
  return bytes;
}

class PosixRegistryProvider final : public RegistryProvider {
 public:
  std::optional<RegistryValue> QueryValue(RootKey root, std::string_view key_path,
                                          std::string_view value_name) override {
    // Registry names ignore case.
    if (root == RootKey::kCurrentUser &&
        EqualsIgnoreCaseAscii(key_path, "SOFTWARE\\Valve\\Steam") &&
        EqualsIgnoreCaseAscii(value_name, "SteamPath")) {
      const std::string folder = SteamClientFolder();
      if (folder.empty()) return std::nullopt;
      return RegistryValue{kRegSz, Utf16LeString(folder)};
    }
    return std::nullopt;
  }
};

}  // namespace

RegistryProvider& PlatformRegistryProvider() {
  static PosixRegistryProvider provider;
  return provider;
}

std::string ExpandEnvironmentText(std::string_view text) {
  std::string out;
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] != '%') {
      out += text[i++];
      continue;
    }
    const std::size_t close = text.find('%', i + 1);
    if (close == std::string_view::npos) {
      out.append(text.substr(i));
      break;
    }
    const std::string name(text.substr(i + 1, close - i - 1));
    const char* value = name.empty() ? nullptr : std::getenv(name.c_str());
    if (value != nullptr) {
      out += value;
      i = close + 1;
    } else {
      // Not a known name: keep the text; the closing "%" may open the next one.
      out += '%';
      out += name;
      i = close;
    }
  }
  return out;
}

}  // namespace kanade
