#include "app_fixture.h"

#include <cstdlib>

#include "app/event_loop.h"
#include "app/patch_run.h"
#include "app/startup.h"
#include "discovery/game_location.h"
#include "discovery/steam_libraries.h"
#include "kanade_repo/repository_signing.h"
#include "net/http_client.h"
#include "repos/sha256.h"
#include "settings/settings_window.h"
#include "state/patcher_state.h"
#include "support/test_repository.h"
#include "ui/console.h"
#include "ui/main_window.h"
#include "ui/status_canvas.h"
#include "util/path.h"
#include "util/run_lock.h"
#include "util/shutdown.h"

namespace kanade::test {

void AppTest::SetUp() {
  if (const char* home = std::getenv("HOME")) old_home_ = home;
  // Detection must not find the machine's own Steam.
  ::setenv("HOME", (dir_ / "home").c_str(), 1);
  ::setenv("KANADE_REPOSITORY_URL", server_.BaseUrl().c_str(), 1);
  WriteFile(dir_ / "home/.keep", "");
  ResetForTest(dir_ / "program");
  WriteFile(dir_ / "program/.keep", "");
  ResetSteamLibraries();
  SetUserProfileFolderForTest(dir_ / "home/");
  SetToolkit(&toolkit_);
  SetProcessEnd([this] { ended_ = true; });
  SettingsWindow = {};
  ForgetMainWindow();
}

void AppTest::TearDown() {
  // Cached connections would keep the test server waiting for them.
  ReleaseNetworking();
  // The next test runs in a program folder of its own.
  ReleaseRunLock();
  SetProcessEnd(nullptr);
  SetUserProfileFolderForTest(std::nullopt);
  SettingsWindow = {};
  ForgetMainWindow();
  ResetBackdropRotation();
  ::unsetenv("KANADE_REPOSITORY_URL");
  if (old_home_) ::setenv("HOME", old_home_->c_str(), 1);
}

void AppTest::Publish(const std::string& name, const std::map<std::string, std::string>& files) {
  std::string lines;
  for (const auto& [path, bytes] : files) {
    const std::string url_path = "/files/" + name + "/" + PercentEncodePath(path);
    server_.Serve("/files/" + name + "/" + path, bytes);
    lines += ModuleLineText(path, server_.Url(url_path), Sha256OfText(bytes));
  }
  const std::string published_name = name == "kanade-patcher-linux.repo"
                                         ? "kanade-patcher-linux"
                                         : name.substr(0, name.size() - 5);
  published_[name] = PublishedRepositoryText(published_name, lines, ++serial_);
  server_.Serve("/repos/" + name, published_[name]);
}

void AppTest::KeepPublishedCopies() {
  for (const auto& [name, text] : published_) {
    WriteFile(dir_ / ("program/repos/" +
                      (name == "kanade-patcher-linux.repo" ? "kanade-patcher.repo" : name)),
              text);
  }
}

void AppTest::InstallGame() {
  game_ = dir_ / "game";
  WriteFile(game_ + "/Shroud of the Avatar.exe", "");
  ASSERT_EQ(ValidateGameFolder(game_), 1);
  data_ = dir_ / "data";
  WriteFile(data_ + "/CurrentPlayerData.xml", "");
  WriteFile(data_ + "/Lua/kanade-fifo/.keep", "");
  ASSERT_EQ(ValidateDataFolder(data_), 1);
}

void AppTest::OpenMainWindow() {
  BuildMainWindow(0, 0, 600, 300);
  ASSERT_NE(MainWindow, 0);
  PrepareMainWindow();
}

void AppTest::Dispatch(const Event& event) {
  if (MainWindow != 0 && event.window == MainWindow) HandleMainWindowEvent(event);
  if (SettingsWindow.Window != 0 && event.window == SettingsWindow.Window) {
    HandleSettingsWindowEvent(event);
  }
}

bool AppTest::RunUntilStep(int step, int limit) {
  // Steps without work are passed over, so "reached" means reached or passed.
  const auto reached = [step] {
    return step >= 0 && static_cast<int>(CurrentRun().CurrentStep()) >= step;
  };
  for (int i = 0; i < limit && !ended_; ++i) {
    if (reached()) return true;
    Event tick;
    tick.kind = EventKind::kTimer;
    tick.window = MainWindow;
    tick.timer_id = kMainTimerId;
    Dispatch(tick);
  }
  return reached();
}

std::vector<std::string> AppTest::ConsoleTexts() const {
  const auto& lines = Console().Lines;
  return {lines.begin(), lines.begin() + Console().Last + 1};
}

}  // namespace kanade::test
