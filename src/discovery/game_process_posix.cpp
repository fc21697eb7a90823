// Linux: /proc names every process's executable and working folder. Under
// Proton the game is Wine's loader, started in the game folder.
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

#include "discovery/game_process.h"
#include "util/path.h"

namespace kanade {

namespace {

namespace fs = std::filesystem;

// This process and those that started it: a shell opened in the game folder
// to start the patcher is no game.
std::set<std::uint64_t> OwnLine() {
  std::set<std::uint64_t> own;
  auto pid = static_cast<std::uint64_t>(getpid());
  while (pid > 1 && own.insert(pid).second) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    const std::string text{std::istreambuf_iterator<char>(stat), {}};
    // The name in parentheses may hold anything, spaces included.
    const std::size_t name_end = text.rfind(')');
    if (name_end == std::string::npos) break;
    std::istringstream rest(text.substr(name_end + 1));
    char state = 0;
    std::uint64_t parent = 0;
    if (!(rest >> state >> parent)) break;
    pid = parent;
  }
  return own;
}

bool Below(const fs::path& path, const fs::path& folder) {
  if (path.empty()) return false;
  return std::mismatch(folder.begin(), folder.end(), path.begin(), path.end()).first ==
         folder.end();
}

// What was started: argv[0] ("Z:\...\Shroud of the Avatar.exe" under Wine),
// else the kernel's name, which is cut at 15 bytes.
std::string NameOf(const fs::path& process) {
  std::ifstream cmdline(process / "cmdline", std::ios::binary);
  std::string first;
  std::getline(cmdline, first, '\0');
  std::string name = first.substr(first.find_last_of("/\\") + 1);
  if (name.empty()) {
    std::ifstream comm(process / "comm");
    std::getline(comm, name);
  }
  return name;
}

}  // namespace

std::vector<RunningProgram> RunningGamePrograms(std::string_view game_folder) {
  std::error_code error;
  if (game_folder.empty()) return {};
  const fs::path folder = fs::canonical(FsPath(StripTrailingSeparators(game_folder)), error);
  if (error) return {};
  const std::set<std::uint64_t> own = OwnLine();
  std::vector<RunningProgram> found;
  for (auto it = fs::directory_iterator("/proc", error); !error && it != fs::directory_iterator();
       it.increment(error)) {
    const std::string pid = it->path().filename().string();
    std::uint64_t id = 0;
    const auto [end, bad] = std::from_chars(pid.data(), pid.data() + pid.size(), id);
    if (bad != std::errc() || end != pid.data() + pid.size() || own.count(id) > 0) continue;
    // Another user's process shows neither; nor does one that has ended.
    std::error_code unreadable;
    if (Below(fs::read_symlink(it->path() / "exe", unreadable), folder) ||
        Below(fs::read_symlink(it->path() / "cwd", unreadable), folder)) {
      found.push_back({id, NameOf(it->path())});
    }
  }
  return found;
}

// Linux replaces and removes files that others hold open.
std::string FileHolders(std::string_view, std::string_view) {
  return {};
}

}  // namespace kanade
