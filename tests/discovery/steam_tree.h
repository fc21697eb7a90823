// Builders for Steam folders as the client leaves them on disk.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace kanade::test {

/// A library list in today's nested form: one numbered block per library,
/// each with its "path" and an "apps" block of numbered keys.
inline std::string NestedLibraryList(const std::vector<std::string>& paths) {
  std::string text = "\"libraryfolders\"\n{\n";
  for (std::size_t i = 0; i < paths.size(); ++i) {
    text += "\t\"" + std::to_string(i) + "\"\n\t{\n";
    text += "\t\t\"path\"\t\t\"" + paths[i] + "\"\n\t\t\"label\"\t\t\"\"\n";
    text += "\t\t\"contentid\"\t\t\"1234567890\"\n\t\t\"apps\"\n\t\t{\n";
    text += "\t\t\t\"228980\"\t\t\"482022\"\n\t\t}\n\t}\n";
  }
  return text + "}\n";
}

/// An application manifest naming `install_dir`.
inline std::string AppManifest(std::string_view app_id, std::string_view install_dir) {
  return "\"AppState\"\n{\n\t\"appid\"\t\t\"" + std::string(app_id) +
         "\"\n\t\"name\"\t\t\"Shroud of the Avatar\"\n\t\"installdir\"\t\t\"" +
         std::string(install_dir) + "\"\n}\n";
}

/// Puts the game (its executable) into `library`/steamapps/common/`dir` with
/// the manifest; returns the game folder.
inline std::string InstallSteamGame(const std::string& library, std::string_view dir) {
  WriteFile(library + "/steamapps/appmanifest_326160.acf", AppManifest("326160", dir));
  const std::string game = library + "/steamapps/common/" + std::string(dir);
  WriteFile(game + "/Shroud of the Avatar.exe", "MZ");
  return game;
}

}  // namespace kanade::test
