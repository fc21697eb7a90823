#include "app/patch_run.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <thread>

#include "app/command_line.h"
#include "app_fixture.h"
#include "repos/repository_fetch.h"
#include "repos/repository_server.h"
#include "repos/sha256.h"
#include "settings/settings_window.h"
#include "state/patcher_state.h"
#include "support/test_repository.h"
#include "ui/console.h"
#include "ui/main_window.h"
#include "util/clock.h"
#include "util/path.h"
#include "util/shutdown.h"

namespace kanade {
namespace {

using test::ReadFile;
using test::WriteFile;

constexpr std::string_view kReady = "日本語化パッチの準備ができました。ゲームを開始してください！";
constexpr std::string_view kRemoved = "日本語化パッチがアンインストールされました。";
constexpr std::string_view kNotApplied =
    "日本語化パッチを適用できませんでした。kanade.log を確認してください。";
constexpr std::string_view kNotRemoved =
    "日本語化パッチをアンインストールできませんでした。kanade.log を確認してください。";

class PatchRunTest : public test::AppTest {
 protected:
  /// Every repository but `missing`, which the server then does not have.
  void PublishAll(std::string_view missing = "") {
    const std::map<std::string, std::map<std::string, std::string>> all = {
        {"kanade-patcher-linux.repo", {}},
        {"kanade-conv-test.repo", {{"Language.txt", "conv"}}},
        {"kanade-test.repo",
         {{"Language.txt", "ui only"},
          {"Shroud of the Avatar_Data/AssetBundles/loc.unity3d", "loc"}}},
        {"kanade-prefixed.repo", {{"Language.txt", "prefixed"}}},
        {"kanade-lua.repo", {{"Lua/kanade.lua", "-- lua"}}},
    };
    for (const auto& [name, files] : all) {
      if (name != missing) Publish(name, files);
    }
  }
  void Options(std::vector<std::string> parameters) {
    SetProgramParameters(std::move(parameters));
    ParseCommandLine();
  }
  int Fetches(std::string_view name) { return server_.RequestCount("/repos/" + std::string(name)); }
};

TEST_F(PatchRunTest, AnOrdinaryRunFetchesEverythingInstallsTheModeAndIdles) {
  PublishAll();
  InstallGame();
  State().LocalizationMode = "Kanade-Test";  // compared in lower case
  State().EnableLocalization = 1;
  // As start-up does: every repository is requested before the window opens,
  // and each fetch step takes over its request.
  CurrentRun().PrefetchRepositories();
  OpenMainWindow();
  ASSERT_TRUE(RunUntilStep(100));

  EXPECT_EQ(ReadFile(game_ + "/Language.txt"), "ui only");
  EXPECT_EQ(ReadFile(game_ + "/Shroud of the Avatar_Data/AssetBundles/loc.unity3d"), "loc");
  for (auto name : {"kanade-patcher-linux.repo", "kanade-conv-test.repo", "kanade-test.repo",
                    "kanade-prefixed.repo", "kanade-lua.repo"}) {
    EXPECT_EQ(Fetches(name), 1) << name;
  }
  const auto lines = ConsoleTexts();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[lines.size() - 2], "");
  EXPECT_EQ(lines.back(), kReady);
  EXPECT_EQ(Console().Colours[Console().Last], kGreen);
  EXPECT_EQ(lines[1],
            "レポジトリを取得中: " + server_.Url("/repos/kanade-patcher-linux.repo") + " 成功");
  EXPECT_EQ(ReadFile(dir_ / "program/kanade.ini"), "<missing>");  // nothing saved
  EXPECT_FALSE(CurrentRun().StepFinished());

  // Idle: more events change nothing.
  const int last = Console().Last;
  for (int i = 0; i < 20; ++i) RunUntilStep(-1, 1);
  EXPECT_EQ(CurrentRun().CurrentStep(), PatchRun::Step::kRest);
  EXPECT_EQ(Console().Last, last);
}

TEST_F(PatchRunTest, ALateRepositoryHoldsUpOnlyItsOwnStep) {
  PublishAll();
  constexpr int kLateMs = 3000;
  server_.ServeLate("/repos/kanade-lua.repo",
                    test::PublishedRepositoryText("kanade-lua", "", ++serial_), kLateMs);
  InstallGame();
  State().LocalizationMode = "kanade-test";
  State().EnableLocalization = 1;
  const auto started = std::chrono::steady_clock::now();
  CurrentRun().PrefetchRepositories();
  OpenMainWindow();
  const std::string prefixed_done =
      "レポジトリを取得中: " + server_.Url("/repos/kanade-prefixed.repo") + " 成功";
  for (int events = 0; events < 400; ++events) {
    const auto lines = ConsoleTexts();
    if (std::find(lines.begin(), lines.end(), prefixed_done) != lines.end()) break;
    Dispatch(toolkit_.WaitEvent());
  }
  // Every step before the late one has shown its result well before it came.
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(kLateMs - 1000));
  ASSERT_TRUE(RunUntilStep(100));

  std::vector<std::string> fetched;
  for (const std::string& line : ConsoleTexts()) {
    if (line.rfind("レポジトリを取得中: ", 0) == 0) fetched.push_back(line);
  }
  std::vector<std::string> expected;
  for (auto name : {"kanade-patcher-linux.repo", "kanade-conv-test.repo", "kanade-test.repo",
                    "kanade-prefixed.repo", "kanade-lua.repo"}) {
    expected.push_back("レポジトリを取得中: " + server_.Url("/repos/" + std::string(name)) +
                       " 成功");
  }
  EXPECT_EQ(fetched, expected);
  EXPECT_EQ(ConsoleTexts().back(), kReady);
}

TEST_F(PatchRunTest, StepsWithWorkFollowEachOtherWithoutWaitingForTheTimer) {
  PublishAll();
  InstallGame();
  State().LocalizationMode = "kanade-test";
  State().EnableLocalization = 1;
  const struct {
    std::vector<std::string> options;
    int events;     // one per step that has work
    int waited_ms;  // for the first step
  } runs[] = {
      // 0, 10, 11, 20-23, 30, 31, 40 and 50, which goes on to rest at 100.
      // The window's first run starts at once, not on a tick of the timer.
      {{}, 11, 0},
      // 0, 20-23, 30, 31, 40, 50, 80 (the end); started anew, it waits for
      // the next tick of the 100 ms timer.
      {{"-uninstall"}, 10, 100},
  };
  OpenMainWindow();
  for (const auto& run : runs) {
    Options(run.options);
    CurrentRun().Restart();
    ResetConsole();
    const double started = toolkit_.clock().ElapsedMs();
    int events = 0;
    while (!ended_ && CurrentRun().CurrentStep() < PatchRun::Step::kRest && events < 200) {
      Dispatch(toolkit_.WaitEvent());
      ++events;
    }
    EXPECT_EQ(events, run.events) << run.options.size();
    // No step after the first waited for a tick.
    EXPECT_EQ(toolkit_.clock().ElapsedMs() - started, run.waited_ms) << run.options.size();
    EXPECT_EQ(ConsoleTexts().back(), run.options.empty() ? kReady : kRemoved);
  }
}

TEST_F(PatchRunTest, WaitforCountsDownInTenthsOnOneLine) {
  PublishAll();
  Options({"-waitfor", "10", "-nopatch"});
  OpenMainWindow();
  RunUntilStep(-1, 1);
  const int line = WaitLineIndex;
  ASSERT_EQ(Console().Lines[static_cast<std::size_t>(line)],
            "-waitfor: アップグレード待機中: 10.0 秒");
  RunUntilStep(-1, 1);
  EXPECT_EQ(Console().Lines[static_cast<std::size_t>(line)],
            "-waitfor: アップグレード待機中: 9.9 秒");
  const double before = toolkit_.clock().ElapsedMs();
  ASSERT_TRUE(RunUntilStep(1, 200));
  EXPECT_EQ(Console().Lines[static_cast<std::size_t>(line)],
            "-waitfor: アップグレード待機中: 0.0 秒");
  EXPECT_EQ(Console().Last, line);  // one line, rewritten in place
  EXPECT_NEAR(toolkit_.clock().ElapsedMs() - before, 9900, 1);
  EXPECT_NE(Log().find("< -waitfor: アップグレード待機中: 5.0 秒\r\n"), std::string::npos);
  EXPECT_EQ(State().WaitForMs, 0);
}

TEST_F(PatchRunTest, RefreshDuringTheCountdownEndsTheWait) {
  PublishAll();
  Options({"-waitfor", "10"});
  OpenMainWindow();
  RunUntilStep(-1, 5);
  toolkit_.SetPointer(MainWindow, {20, 20});
  Event click;
  click.kind = EventKind::kControl;
  click.window = MainWindow;
  click.control = MainCanvas;
  click.type = ControlEventType::kLeftClick;
  Dispatch(click);
  // The click restarted at 0, whose first entry found the wait used up; the
  // run goes on with the next step that has work.
  EXPECT_EQ(CurrentRun().CurrentStep(), PatchRun::Step::kFetchOwn);
  EXPECT_EQ(Console().Last, 0);
}

TEST_F(PatchRunTest, NopatchSkipsTheProgramAndTheFirstRunWindow) {
  PublishAll();
  InstallGame();
  Options({"-nopatch"});
  OpenMainWindow();
  ASSERT_TRUE(RunUntilStep(100));
  EXPECT_EQ(Fetches("kanade-patcher-linux.repo"), 0);
  EXPECT_EQ(Fetches("kanade-test.repo"), 1);
  EXPECT_EQ(SettingsWindow.Window, 0);
  EXPECT_EQ(ConsoleTexts().back(), kReady);
  EXPECT_EQ(ReadFile(game_ + "/Language.txt"), "<missing>");  // no mode chosen
}

TEST_F(PatchRunTest, FirstRunOpensTheSettingsWindowAndRestartsWhenItCloses) {
  // Started while the server had nothing yet: the answers that came at
  // start-up were no success, and the run after the window asks again.
  CurrentRun().PrefetchRepositories();
  for (const char* name : {"kanade-conv-test", "kanade-test", "kanade-lua"}) {
    for (int i = 0; i < 100 && Fetches(std::string(name) + ".repo") == 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  PublishAll();
  InstallGame();
  OpenMainWindow();
  ASSERT_TRUE(RunUntilStep(100));
  ASSERT_NE(SettingsWindow.Window, 0);
  EXPECT_EQ(Fetches("kanade-test.repo"), 1);  // nothing but the early request before the choice
  EXPECT_EQ(State().LocalizationMode, "kanade-conv-test");
  toolkit_.SetChecked(SettingsWindow.EnableLocalizationCheck, true);
  toolkit_.Click(SettingsWindow.Window, SettingsWindow.EnableLocalizationCheck);
  toolkit_.Click(SettingsWindow.Window, SettingsWindow.OkButton);
  Dispatch(toolkit_.WaitEvent());
  Dispatch(toolkit_.WaitEvent());
  EXPECT_EQ(SettingsWindow.Window, 0);
  EXPECT_EQ(CurrentRun().CurrentStep(), PatchRun::Step::kWait);
  EXPECT_EQ(Console().Last, 0);
  EXPECT_EQ(ReadFile(dir_ / "program/kanade.ini"),
            "; Localization related settings\r\nEnableLocalization=1\r\n"
            "LocalizationMode=kanade-conv-test\r\nGameLocationOverride=\r\n\r\n"
            "; Lua Related settings\r\nEnableLuaIntegration=0\r\nLiveTranslationToken=\r\n");
  ASSERT_TRUE(RunUntilStep(100));
  EXPECT_EQ(ReadFile(game_ + "/Language.txt"), "conv");
  EXPECT_EQ(ConsoleTexts().back(), kReady);
}

TEST_F(PatchRunTest, AProcessStartedByAnUpgradeNeverOpensTheWindowByItself) {
  PublishAll();
  InstallGame();
  Options({"-waitfor", "0"});
  OpenMainWindow();
  ASSERT_TRUE(RunUntilStep(100));
  EXPECT_EQ(SettingsWindow.Window, 0);
  EXPECT_EQ(ConsoleTexts().back(), kReady);
  EXPECT_EQ(Log().substr(0, 4), "UPG:");
}

TEST_F(PatchRunTest, SwitchedOffLocalisationIsUninstalled) {
  PublishAll();
  InstallGame();
  WriteFile(game_ + "/Language.txt", "prefixed");
  KeepPublishedCopies();
  State().LocalizationMode = "kanade-prefixed";
  State().EnableLocalization = 0;
  Options({"-nopatch"});
  OpenMainWindow();
  ASSERT_TRUE(RunUntilStep(100));
  EXPECT_FALSE(IsFile(game_ + "/Language.txt"));
}

// The modes share the game folder: a file only the mode used before lists
// goes when another mode is applied and when the translation is removed,
// but never one the player changed or one the mode in use lists. Paths of
// that mode which were refused cost the mode in use nothing.
TEST_F(PatchRunTest, AnotherModeOrAnUninstallLeavesNothingOfTheModeBefore) {
  PublishAll();
  Publish("kanade-conv-test.repo", {{"Language.txt", "conv"},
                                    {"Talk/npc.txt", "talk"},
                                    {"Talk/own.txt", "talk too"},
                                    {"CON.txt", "device"},
                                    {"Linked/x.txt", "through a link"}});
  InstallGame();
  const std::string outside = dir_ / "outside";
  WriteFile(outside + "/x.txt", "through a link");
  test::PlantAt(test::Plant::kSymlink, game_ + "/Linked", outside);
  const auto run = [&](const char* mode, std::vector<std::string> options) {
    State().LocalizationMode = mode;
    Options(std::move(options));
    State().EnableLocalization = 1;
    CurrentRun().Restart();
    ResetConsole();
    OpenMainWindow();
    RunUntilStep(-1, 400);
  };
  run("kanade-conv-test", {"-nopatch"});
  ASSERT_EQ(ReadFile(game_ + "/Talk/npc.txt"), "talk");
  WriteFile(game_ + "/Talk/own.txt", "the player's own");

  run("kanade-test", {"-nopatch"});
  EXPECT_EQ(ReadFile(game_ + "/Language.txt"), "ui only");
  EXPECT_FALSE(IsFile(game_ + "/Talk/npc.txt"));
  EXPECT_EQ(ReadFile(game_ + "/Talk/own.txt"), "the player's own");
  const auto lines = ConsoleTexts();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "- 削除: " + game_ + "/Talk/npc.txt 成功"),
            lines.end());
  EXPECT_EQ(lines.back(), kReady);
  EXPECT_EQ(ReadFile(outside + "/x.txt"), "through a link");

  run("kanade-conv-test", {"-nopatch"});
  ASSERT_EQ(ReadFile(game_ + "/Talk/npc.txt"), "talk");
  WriteFile(game_ + "/Talk/own.txt", "the player's own");
  run("kanade-test", {"-uninstall"});
  EXPECT_TRUE(ended_);
  for (auto path :
       {"/Language.txt", "/Shroud of the Avatar_Data/AssetBundles/loc.unity3d", "/Talk/npc.txt"}) {
    EXPECT_FALSE(IsFile(game_ + path)) << path;
  }
  EXPECT_EQ(ReadFile(game_ + "/Talk/own.txt"), "the player's own");
  EXPECT_EQ(ConsoleTexts().back(), kRemoved);
}

// Another copy of the program in the folder has its run first. Here the
// test holds the lock file as that copy would: this run waits with a line of
// its own and leaves that copy's temporary file alone, then goes on once the
// lock is let go, or after a minute of a lock never let go. What anyone else
// could hold (the folder itself, a lock file that others may open) is never
// waited for.
TEST_F(PatchRunTest, ASecondCopyInTheFolderWaitsForTheFirstOnesRun) {
  PublishAll();
  InstallGame();
  State().LocalizationMode = "kanade-test";
  State().EnableLocalization = 1;
  ManualClock clock;
  SetClock(&clock);
  const std::string program = dir_ / "program";
  const std::string lock = program + "/kanade.lock";
  const std::string theirs = program + "/upgrade_kanade.kanade-tmp-0123456789abcdef";
  const std::string waiting = "他の Kanade Patcher の処理を待機中...";
  const auto lock_file = [&lock](mode_t mode) {
    ::unlink(lock.c_str());
    const int fd = ::open(lock.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, mode);
    ::fchmod(fd, mode);
    return fd;
  };
  const struct {
    const char* what;
    std::function<int()> hold;
    bool waits;
    bool let_go;
  } rows[] = {
      {"another copy, let go", [&] { return lock_file(0600); }, true, true},
      {"another copy, never let go", [&] { return lock_file(0600); }, true, false},
      {"the folder itself",
       [&] { return ::open(program.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }, false, true},
      {"a lock file others may open", [&] { return lock_file(0644); }, false, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    WriteFile(theirs, "the other copy's download");
    RemoveFile(program + "/kanade.log");
    const int other = row.hold();
    ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
    CurrentRun().Restart();
    ResetConsole();
    OpenMainWindow();
    if (row.waits) {
      RunUntilStep(-1, 20);
      EXPECT_EQ(CurrentRun().CurrentStep(), PatchRun::Step::kWait);
      EXPECT_EQ(ConsoleTexts().back(), waiting);
      EXPECT_TRUE(IsFile(theirs));
      EXPECT_EQ(Fetches("kanade-test.repo"), row.let_go ? 0 : 1);
    }
    const bool stuck = row.waits && !row.let_go;
    if (row.waits && row.let_go) ::close(other);
    if (stuck) {
      // The other run keeps writing its log: waited for beyond the minute.
      clock.Advance(50000);
      RunUntilStep(-1, 2);
      std::ofstream(program + "/kanade.log", std::ios::app) << "their progress\r\n";
      clock.Advance(50000);
      RunUntilStep(-1, 2);
      EXPECT_EQ(CurrentRun().CurrentStep(), PatchRun::Step::kWait);
      clock.Advance(60000);
    }
    ASSERT_TRUE(RunUntilStep(100));
    RunUntilStep(-1, 1);  // resting lets go of the lock for the next copy
    const auto lines = ConsoleTexts();
    if (row.waits) {
      EXPECT_EQ(lines[1], waiting + (row.let_go ? " 完了" : " タイムアウト"));
    } else {
      EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                              [&](const std::string& line) { return line.find(waiting) == 0; }),
                0);
    }
    // A stuck run's folder is left as it is, and this run says so.
    EXPECT_EQ(lines.back(), stuck ? kNotApplied : kReady);
    EXPECT_EQ(IsFile(theirs), stuck);
    EXPECT_EQ(
        ReadFile(program + "/kanade.log").find("without writing to its log") != std::string::npos,
        stuck);
    if (!row.waits || stuck) ::close(other);
    // The lock file is the player's alone again.
    struct stat info {};
    ASSERT_EQ(::lstat(lock.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
  }
  EXPECT_EQ(ReadFile(game_ + "/Language.txt"), "ui only");
  SetClock(nullptr);
}

TEST_F(PatchRunTest, UninstallRemovesBothRepositoriesAndEndsTheProgram) {
  PublishAll();
  InstallGame();
  WriteFile(game_ + "/Language.txt", "conv");
  WriteFile(data_ + "/Lua/kanade.lua", "-- lua");
  KeepPublishedCopies();
  State().LocalizationMode = "kanade-conv-test";
  State().EnableLocalization = 1;  // as if the settings file said so
  Options({"-uninstall"});
  State().EnableLocalization = 1;
  State().EnableLuaIntegration = 1;
  OpenMainWindow();
  RunUntilStep(-1, 400);
  EXPECT_TRUE(ended_);
  EXPECT_EQ(CurrentRun().CurrentStep(), PatchRun::Step::kUninstallEnd);
  EXPECT_FALSE(IsFile(game_ + "/Language.txt"));
  EXPECT_FALSE(IsFile(data_ + "/Lua/kanade.lua"));
  EXPECT_EQ(ConsoleTexts().back(), kRemoved);
  EXPECT_EQ(Console().Colours[Console().Last], kWhite);
  EXPECT_EQ(Fetches("kanade-patcher-linux.repo"), 0);
}

TEST_F(PatchRunTest, FifoCleanupDeletesOnlyFifoFilesAndReportsWhatStays) {
  PublishAll();
  InstallGame();
  const std::string fifo = State().FifoFolder;
  WriteFile(fifo + "/fifo1.txt", "a");
  WriteFile(fifo + "/FIFO2.TXT", "b");
  WriteFile(fifo + "/other.txt", "c");
  WriteFile(fifo + "/fifo-folder.txt/inner", "d");
  Options({"-nopatch"});
  OpenMainWindow();
  ASSERT_TRUE(RunUntilStep(100));
  EXPECT_FALSE(IsFile(fifo + "/fifo1.txt"));
  EXPECT_FALSE(IsFile(fifo + "/FIFO2.TXT"));
  EXPECT_TRUE(IsFile(fifo + "/other.txt"));
  EXPECT_TRUE(IsFile(fifo + "/fifo-folder.txt/inner"));
  EXPECT_NE(Log().find("< FIFOバッファの整理中... 完了\r\n"), std::string::npos);

  WriteFile(fifo + "/fifo3.txt", "e");
  test::SetReadOnly(fifo + "/fifo3.txt", true);
  WriteFile(fifo + "/fifo4.txt", "f");
  CurrentRun().Restart();
  ResetConsole();
  ASSERT_TRUE(RunUntilStep(100));
  EXPECT_TRUE(IsFile(fifo + "/fifo3.txt"));
  EXPECT_FALSE(IsFile(fifo + "/fifo4.txt"));
  const auto lines = ConsoleTexts();
  const auto it = std::find(lines.begin(), lines.end(), "FIFOバッファの整理中... 失敗");
  ASSERT_NE(it, lines.end());
  EXPECT_EQ(Console().Colours[static_cast<std::size_t>(it - lines.begin())], kRed);
}

// The closing line is green only when the translation is in place, and it
// is decided from what the steps did, not from the colours of their lines.
class ClosingLineTest;

struct ClosingCase {
  const char* what;
  bool game;
  Flag enable;
  bool uninstall;
  std::function<void(ClosingLineTest&)> arrange;  // before the run
  std::string_view line;
  Rgb colour;
};

void PrintTo(const ClosingCase& c, std::ostream* out) {
  *out << c.what;
}

class ClosingLineTest : public PatchRunTest, public ::testing::WithParamInterface<ClosingCase> {
 public:
  // A verified local copy of `name`, as an earlier run left it.
  void KeepCopy(const std::string& name) {
    RunReporter reporter;
    ASSERT_TRUE(FetchRepository(server_.Url("/repos/" + name), name, reporter).Fetched());
  }
  void ServerDown() {
    ::setenv("KANADE_REPOSITORY_URL",
             ("http://127.0.0.1:" + std::to_string(test::UnusedPort())).c_str(), 1);
  }
  void Gone(const std::string& name) { server_.Serve("/repos/" + name, "gone", 404); }
  void Serve(const std::string& path, const std::string& body) { server_.Serve(path, body); }
  void PublishTest(const std::map<std::string, std::string>& files) {
    Publish("kanade-test.repo", files);
  }
  // As an earlier build installed it: the files, and its copies in repos/.
  void Installed(bool read_only) {
    KeepPublishedCopies();
    WriteFile(game_ + "/Language.txt", "ui only");
    WriteFile(data_ + "/Lua/kanade.lua", "-- lua");
    if (read_only) test::SetReadOnly(game_ + "/Language.txt", true);
  }
  void LockLua() { test::SetReadOnly(data_ + "/Lua/kanade.lua", true); }
  // The translation as the original program left it: its files, and its
  // copy of the repository, signed only with the SIGN line.
  void OriginalProgramLeftIt() {
    WriteFile(game_ + "/Language.txt", "ui only");
    test::WriteLocalRepository(
        "kanade-test.repo",
        test::SignedRepositoryText(test::ModuleLineText("Language.txt", "https://127.0.0.1/x",
                                                        Sha256OfText("ui only"))));
  }
  void ForeignProgramFolder() {
    ASSERT_EQ(::chown((dir_ / "program").c_str(), test::kNobody, test::kNobody), 0);
  }

 protected:
  // Every red console line is followed in the log by its reason.
  void ExpectReasonsAfterRedLines() {
    const std::string log = Log();
    for (int i = 0; i <= Console().Last; ++i) {
      if (Console().Colours[static_cast<std::size_t>(i)] != kRed) continue;
      const std::string& text = Console().Lines[static_cast<std::size_t>(i)];
      const std::size_t added = log.rfind("> " + text + "\r\n");
      const std::size_t rewritten = log.rfind("< " + text + "\r\n");
      std::size_t at = added;
      if (rewritten != std::string::npos && (at == std::string::npos || rewritten > at)) {
        at = rewritten;
      }
      ASSERT_NE(at, std::string::npos) << text;
      EXPECT_EQ(log.substr(log.find("\r\n", at) + 2, 2), "! ") << text;
    }
  }
};

TEST_P(ClosingLineTest, FollowsWhatTheTranslationStepsDid) {
  const ClosingCase& c = GetParam();
  PublishAll();
  if (c.game) InstallGame();
  State().LocalizationMode = "kanade-test";
  State().EnableLocalization = c.enable;
  if (c.arrange) c.arrange(*this);
  if (c.uninstall) Options({"-uninstall"});
  OpenMainWindow();
  ASSERT_TRUE(RunUntilStep(51));
  EXPECT_EQ(ConsoleTexts().back(), c.line);
  EXPECT_EQ(Console().Colours[Console().Last], c.colour);
  EXPECT_NE(Log().find("> " + std::string(c.line) + "\r\n"), std::string::npos);
  ExpectReasonsAfterRedLines();
  if (c.uninstall && c.colour == kWhite) {
    EXPECT_FALSE(IsFile(game_ + "/Language.txt"));
    EXPECT_FALSE(IsFile(data_ + "/Lua/kanade.lua"));
  }
  EXPECT_FALSE(ended_);
  // An uninstall ends by itself when it removed everything; a failed one
  // stays on screen, to end with a failure status once it is closed.
  RunUntilStep(-1, 5);
  EXPECT_EQ(ended_, c.line == kRemoved);
  EXPECT_EQ(ExitStatus(), c.line == kNotRemoved ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Runs, ClosingLineTest,
    ::testing::Values(
        ClosingCase{"all good", true, 1, false, nullptr, kReady, kGreen},
        ClosingCase{"unused repositories answer 404", true, 1, false,
                    [](ClosingLineTest& t) {
                      t.Gone("kanade-prefixed.repo");
                      t.Gone("kanade-lua.repo");
                    },
                    kReady, kGreen},
        ClosingCase{"the active repository 404, a kept copy", true, 1, false,
                    [](ClosingLineTest& t) {
                      t.KeepCopy("kanade-test.repo");
                      t.Gone("kanade-test.repo");
                    },
                    kReady, kGreen},
        ClosingCase{"the active repository 404, no copy", true, 1, false,
                    [](ClosingLineTest& t) { t.Gone("kanade-test.repo"); }, kNotApplied, kRed},
        ClosingCase{
            "one module's digest differs", true, 1, false,
            [](ClosingLineTest& t) { t.Serve("/files/kanade-test.repo/Language.txt", "tampered"); },
            kNotApplied, kRed},
        ClosingCase{"one refused path", true, 1, false,
                    [](ClosingLineTest& t) {
                      t.PublishTest({{"Language.txt", "ui only"}, {"CON.txt", "x"}});
                    },
                    kNotApplied, kRed},
        ClosingCase{"translation off, the server down", true, 0, false,
                    [](ClosingLineTest& t) {
                      t.KeepCopy("kanade-test.repo");
                      t.Installed(false);
                      t.ServerDown();
                    },
                    kReady, kGreen},
        ClosingCase{"uninstall, the server down", true, 1, true,
                    [](ClosingLineTest& t) {
                      t.KeepCopy("kanade-test.repo");
                      t.KeepCopy("kanade-lua.repo");
                      t.Installed(false);
                      t.ServerDown();
                    },
                    kRemoved, kWhite},
        ClosingCase{"uninstall, the server down, only the original program's copy", true, 1, true,
                    [](ClosingLineTest& t) {
                      t.OriginalProgramLeftIt();
                      t.ServerDown();
                    },
                    kNotRemoved, kRed},
        ClosingCase{"run as root in another user's program folder", true, 1, false,
                    [](ClosingLineTest& t) { t.ForeignProgramFolder(); }, kNotApplied, kRed},
        ClosingCase{"uninstall, a locked file", true, 1, true,
                    [](ClosingLineTest& t) { t.Installed(true); }, kNotRemoved, kRed},
        ClosingCase{"the switched-off Lua module cannot be removed", true, 1, false,
                    [](ClosingLineTest& t) {
                      t.Installed(false);
                      t.LockLua();
                    },
                    kReady, kGreen},
        ClosingCase{"no game folder", false, 1, false, nullptr, kNotApplied, kRed},
        ClosingCase{"no game, translation off", false, 0, false, nullptr, kReady, kGreen},
        ClosingCase{"only the self-update failed", true, 1, false,
                    [](ClosingLineTest& t) { t.Gone("kanade-patcher-linux.repo"); }, kReady,
                    kGreen}),
    [](const auto& info) { return "Case" + std::to_string(info.index); });

TEST_F(PatchRunTest, AServerThatIsDownLeavesTheRunGoing) {
  ::setenv("KANADE_REPOSITORY_URL", "http://127.0.0.1:1", 1);
  InstallGame();
  State().LocalizationMode = "kanade-test";
  State().EnableLocalization = 1;
  OpenMainWindow();
  ASSERT_TRUE(RunUntilStep(100));
  const auto lines = ConsoleTexts();
  EXPECT_EQ(lines[1],
            "レポジトリを取得中: http://127.0.0.1:1/repos/kanade-patcher-linux.repo 失敗");
  EXPECT_EQ(lines.back(), kNotApplied);
}

}  // namespace
}  // namespace kanade
