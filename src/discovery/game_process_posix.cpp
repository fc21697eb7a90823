// Linux: /proc names every process's executable and command line. Under
// Wine and Proton the game's executable is Wine's loader, and its command
// line names the game's Windows program as Wine sees it.
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>

#include "discovery/game_location.h"
#include "discovery/game_process.h"
#include "util/path.h"
#include "util/text.h"

namespace kanade {

namespace {

namespace fs = std::filesystem;

struct FileId {
  dev_t device = 0;
  ino_t inode = 0;
  bool operator==(const FileId&) const = default;
};

std::optional<FileId> IdOf(const fs::path& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  return FileId{info.st_dev, info.st_ino};
}

bool Below(const fs::path& path, const fs::path& folder) {
  if (path.empty()) return false;
  return std::mismatch(folder.begin(), folder.end(), path.begin(), path.end()).first ==
         folder.end();
}

std::vector<std::string> NulSeparated(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::vector<std::string> words;
  for (std::string word; std::getline(in, word, '\0');) words.push_back(word);
  return words;
}

// Where a Wine path (such as "Z:\home\...\Shroud of the Avatar.exe") of
// the process `environment` belongs to lies on this system: its drive
// letter is a link in the prefix's dosdevices folder.
std::optional<fs::path> UnixPathOf(const std::string& word,
                                   const std::vector<std::string>& environment) {
  if (StartsWith(word, "/")) return fs::path(word);
  if (word.size() < 3 || !std::isalpha(static_cast<unsigned char>(word[0])) || word[1] != ':' ||
      (word[2] != '\\' && word[2] != '/')) {
    return std::nullopt;
  }
  std::string prefix;
  std::string home;
  for (const std::string& entry : environment) {
    if (StartsWith(entry, "WINEPREFIX=")) prefix = entry.substr(11);
    if (StartsWith(entry, "HOME=")) home = entry.substr(5);
  }
  if (prefix.empty() && !home.empty()) prefix = home + "/.wine";
  if (prefix.empty()) return std::nullopt;
  const std::string rest = ReplaceAll(word.substr(3), "\\", "/");
  return fs::path(prefix) / "dosdevices" / (ToLowerAscii(word.substr(0, 1)) + ":") / rest;
}

// A copy of this program is never the game, wherever it lies: this very
// build (even once an upgrade replaced its file), or one by its names.
bool IsThisProgram(const fs::path& process, const fs::path& exe, const std::optional<FileId>& own) {
  const std::string name = exe.filename().string();
  for (const std::string_view program : {"kanade", "upgrade_kanade"}) {
    if (name == program || name == std::string(program) + " (deleted)") return true;
  }
  return own && IdOf(process / "exe") == own;
}

}  // namespace

std::vector<RunningProgram> RunningGamePrograms(std::string_view game_folder) {
  std::error_code error;
  if (game_folder.empty()) return {};
  const fs::path folder = fs::canonical(FsPath(StripTrailingSeparators(game_folder)), error);
  if (error) return {};
  const std::optional<FileId> game = IdOf(folder / std::string(kGameExecutableName));
  const std::optional<FileId> own = IdOf("/proc/self/exe");
  const auto self = static_cast<std::uint64_t>(::getpid());
  std::vector<RunningProgram> found;
  for (auto it = fs::directory_iterator("/proc", error); !error && it != fs::directory_iterator();
       it.increment(error)) {
    const std::string pid = it->path().filename().string();
    std::uint64_t id = 0;
    const auto [end, bad] = std::from_chars(pid.data(), pid.data() + pid.size(), id);
    if (bad != std::errc() || end != pid.data() + pid.size() || id == self) continue;
    // Another user's game is theirs to end; a process that has ended shows
    // nothing.
    struct stat owner {};
    if (::stat(it->path().c_str(), &owner) != 0 || owner.st_uid != ::geteuid()) continue;
    std::error_code unreadable;
    const fs::path exe = fs::read_symlink(it->path() / "exe", unreadable);
    if (Below(exe, folder) && !IsThisProgram(it->path(), exe, own)) {
      found.push_back({id, exe.filename().string()});
      continue;
    }
    // Wine's loader, or Proton's script that waits for the game: the
    // command line names the game's program. A shell, an editor or a file
    // manager that only works in the folder is no game.
    if (!game) continue;
    const std::vector<std::string> words = NulSeparated(it->path() / "cmdline");
    std::optional<std::vector<std::string>> environment;
    for (const std::string& word : words) {
      const std::string name = word.substr(word.find_last_of("/\\") + 1);
      if (!EqualsIgnoreCaseAscii(name, kGameExecutableName)) continue;
      if (!environment) environment = NulSeparated(it->path() / "environ");
      const std::optional<fs::path> path = UnixPathOf(word, *environment);
      if (path && IdOf(*path) == game) {
        found.push_back({id, std::string(kGameExecutableName)});
        break;
      }
    }
  }
  return found;
}

// Linux replaces and removes files that others hold open.
std::string FileHolders(std::string_view, std::string_view) {
  return {};
}

}  // namespace kanade
