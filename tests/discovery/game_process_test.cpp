#include "discovery/game_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace kanade {
namespace {

// `program` sleeping in `folder` under the name `argv0`, as `user` when
// given; it has executed its program once the constructor returns.
class Sleeper {
 public:
  Sleeper(const std::string& program, std::string argv0, const std::string& folder,
          std::string environment, std::optional<uid_t> user) {
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      if (::chdir(folder.c_str()) != 0) ::_exit(127);
      if (user && (::setgid(*user) != 0 || ::setuid(*user) != 0)) ::_exit(127);
      std::string seconds = "30";
      char* args[] = {argv0.data(), seconds.data(), nullptr};
      char* env[] = {environment.data(), nullptr};
      ::execve(program.c_str(), args, env);
      ::_exit(127);
    }
    ::close(report[1]);
    char byte = 0;
    while (::read(report[0], &byte, 1) > 0) {
    }
    ::close(report[0]);
  }
  ~Sleeper() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  pid_t Pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
};

// The game is what runs the game's executable, natively or under Wine and
// Proton, whose loader's command line names it; a working folder in the
// game folder, another folder's game, a copy of this program or another
// user's process are no game.
TEST(GameProcess, OnlyWhatRunsTheGamesExecutableCounts) {
  namespace fs = std::filesystem;
  const test::TempDir dir;
  const std::string game = dir / "steamapps/common/Shroud of the Avatar";
  const std::string exe = game + "/Shroud of the Avatar.exe";
  test::WriteFile(exe, "MZ");
  test::WriteFile(dir / "other/Shroud of the Avatar.exe", "MZ");
  const std::string prefix = dir / "pfx";
  fs::create_directories(prefix + "/dosdevices");
  fs::create_symlink(dir / "steamapps", prefix + "/dosdevices/d:");
  fs::copy_file("/bin/sleep", game + "/Shroud of the Avatar.x86_64");
  fs::copy_file("/bin/sleep", game + "/kanade");
  const struct {
    const char* what;
    std::string program;
    std::string argv0;
    std::string folder;
    std::string environment;
    bool root_only;
    std::string name;  // as the wait shows it; empty: no game
  } rows[] = {
      {"a native build", game + "/Shroud of the Avatar.x86_64", "./game", dir.path(), "", false,
       "Shroud of the Avatar.x86_64"},
      {"Wine started from a Unix path", "/bin/sleep", exe, dir.path(), "", false,
       "Shroud of the Avatar.exe"},
      {"Proton's loader in its prefix", "/bin/sleep",
       "D:\\common\\Shroud of the Avatar\\Shroud of the Avatar.exe", dir.path(),
       "WINEPREFIX=" + prefix, false, "Shroud of the Avatar.exe"},
      {"a shell working in the game folder", "/bin/sleep", "bash", game, "", false, ""},
      {"another folder's game", "/bin/sleep", dir / "other/Shroud of the Avatar.exe", game, "",
       false, ""},
      {"a copy of this program in the game folder", game + "/kanade", game + "/kanade", game, "",
       false, ""},
      {"another user's game", "/bin/sleep", exe, "/", "", true, ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    if (row.root_only && ::geteuid() != 0) continue;
    const Sleeper sleeper(row.program, row.argv0, row.folder, row.environment,
                          row.root_only ? std::optional<uid_t>(test::kNobody) : std::nullopt);
    ASSERT_GT(sleeper.Pid(), 0);
    const std::vector<RunningProgram> found = RunningGamePrograms(game + "/");
    const auto it = std::find_if(found.begin(), found.end(), [&](const RunningProgram& program) {
      return program.Id == static_cast<std::uint64_t>(sleeper.Pid());
    });
    EXPECT_EQ(it == found.end() ? std::string() : it->Name, row.name);
  }
}

}  // namespace
}  // namespace kanade
