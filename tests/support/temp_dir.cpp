#include "support/temp_dir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "state/patcher_state.h"
#include "ui/console.h"
#include "ui/log_file.h"
#include "util/path.h"

namespace kanade::test {

namespace fs = std::filesystem;

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "kanade-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) std::abort();
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  // Read-only files inside must not keep the folder alive.
  for (auto it = fs::recursive_directory_iterator(path_, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  }
  fs::remove_all(path_, ec);
}

std::string TempDir::operator/(std::string_view relative) const {
  return path_ + "/" + std::string(relative);
}

void WriteFile(const std::string& path, std::string_view bytes) {
  std::error_code ec;
  fs::create_directories(fs::path(path).parent_path(), ec);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "<missing>";
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::string Fingerprint(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return "<missing>";
  return ReadFile(path) + "|" + std::to_string(info.st_mtim.tv_sec) + "." +
         std::to_string(info.st_mtim.tv_nsec) + "|" + std::to_string(info.st_nlink);
}

void PlantAt(Plant plant, const std::string& path, const std::string& outside) {
  std::error_code ec;
  switch (plant) {
    case Plant::kSymlink:
    case Plant::kDanglingSymlink:
      fs::create_symlink(plant == Plant::kSymlink ? outside : outside + ".new", path, ec);
      // Our own links are followed: this one is another user's, or, where
      // the tests cannot give it away, lies in a folder others can write.
      if (::geteuid() == 0) {
        ::lchown(path.c_str(), kNobody, kNobody);
      } else {
        fs::permissions(fs::path(path).parent_path(), fs::perms::group_write, fs::perm_options::add,
                        ec);
      }
      break;
    case Plant::kHardLink:
      fs::create_hard_link(outside, path, ec);
      break;
    case Plant::kFifo:
      ::mkfifo(path.c_str(), 0666);
      break;
    case Plant::kFolder:
      fs::create_directory(path, ec);
      break;
  }
}

void SetReadOnly(const std::string& path, bool read_only) {
  std::error_code ec;
  if (read_only) {
    fs::permissions(path, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove, ec);
  } else {
    fs::permissions(path, fs::perms::owner_write, fs::perm_options::add, ec);
  }
}

void ResetForTest(const std::string& folder) {
  // The player's own key for the record lives in a profile of the tests'
  // own, never in the home of whoever runs them.
  static const TempDir profile;
  ::setenv("XDG_STATE_HOME", profile.path().c_str(), 1);
  ResetProgramState();
  CloseLogFile();
  ProgramFolder = folder;
  if (ProgramFolder.empty() || ProgramFolder.back() != '/') ProgramFolder += "/";
  CreateConsole();
  CanvasDirty = false;
}

}  // namespace kanade::test
