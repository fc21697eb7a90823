#include "app/event_loop.h"
#include "app/patch_run.h"

#include <gtest/gtest.h>

#include <random>

#include "app/command_line.h"
#include "app/startup.h"
#include "app_fixture.h"
#include "settings/settings_window.h"
#include "state/patcher_state.h"
#include "support/http_test_server.h"
#include "ui/console.h"
#include "ui/main_window.h"
#include "util/path.h"

namespace kanade {
namespace {

using test::ReadFile;

class EventLoopTest : public test::AppTest {
 protected:
  void SetUp() override {
    AppTest::SetUp();
    for (auto name : {"kanade-patcher-linux.repo", "kanade-conv-test.repo", "kanade-test.repo",
                      "kanade-prefixed.repo", "kanade-lua.repo"}) {
      Publish(name, {});
    }
    InstallGame();
    OpenMainWindow();
  }
  void ClickAt(int x, int y) {
    toolkit_.SetPointer(MainWindow, {x, y});
    toolkit_.Click(MainWindow, MainCanvas);
    Dispatch(toolkit_.WaitEvent());
  }
  void ClickSettings(ControlHandle control) {
    toolkit_.Click(SettingsWindow.Window, control);
    Dispatch(toolkit_.WaitEvent());
  }
  const HeadlessToolkit::Control& Control(ControlHandle handle) {
    return *toolkit_.control(handle);
  }
};

TEST_F(EventLoopTest, HoveringABoxHighlightsItForATenthOfASecond) {
  toolkit_.SetPointer(MainWindow, {570, 10});
  RunUntilStep(-1, 1);
  const double now = toolkit_.clock().ElapsedMs();
  EXPECT_EQ(State().SettingsHoverUntil, now + 100);
  EXPECT_EQ(State().RefreshHoverUntil, 0);
  toolkit_.SetPointer(MainWindow, {0, 10});  // outside: values below 1
  toolkit_.clock().Advance(50);
  RunUntilStep(-1, 1);
  EXPECT_EQ(State().SettingsHoverUntil, now + 100);
}

TEST_F(EventLoopTest, ABoxUnderThePointerStaysLitWhileAStepBlocks) {
  // The countdown pauses 100 ms in every event, the hover time's length.
  SetProgramParameters({"-waitfor", "2", "-nopatch"});
  ParseCommandLine();
  const auto settings_box = [this] {
    for (const auto& call : toolkit_.last_frame()) {
      if (call.kind == HeadlessToolkit::DrawKind::kFill &&
          call.rect == toolkit_.ControlRect(SettingsButton)) {
        return call.colour;
      }
    }
    return kBlack;
  };
  toolkit_.SetPointer(MainWindow, {575, 20});
  for (int i = 0; i < 15; ++i) {
    RunUntilStep(-1, 1);
    ASSERT_EQ(settings_box(), kYellow) << "event " << i;
  }
  toolkit_.SetPointer(MainWindow, {300, 200});
  RunUntilStep(-1, 1);
  EXPECT_EQ(settings_box(), (Rgb{200, 200, 200}));
  EXPECT_EQ(CurrentRun().CurrentStep(), PatchRun::Step::kWait);  // still counting down
}

TEST_F(EventLoopTest, SettingsBoxOpensOneWindowFilledFromTheState) {
  State().InstalledGameFolder = "";
  State().SteamGameFolder = dir_ / "steam-game";
  State().GameLocationOverride = "";
  State().LocalizationMode = "kanade-prefixed";
  State().LiveTranslationToken = "to ken";
  ClickAt(561, 6);
  ASSERT_NE(SettingsWindow.Window, 0);
  const WindowHandle first = SettingsWindow.Window;
  EXPECT_EQ(CurrentRun().CurrentStep(), PatchRun::Step::kRest);
  ClickAt(591, 36);
  EXPECT_EQ(SettingsWindow.Window, first);
  ClickAt(592, 37);  // right and bottom edges are outside

  const auto& c = SettingsWindow;
  EXPECT_TRUE(Control(c.ModePrefixedOption).checked);
  EXPECT_FALSE(Control(c.ModeConvTestOption).checked);
  EXPECT_EQ(Control(c.InstalledField).text, "検出されませんでした。");
  EXPECT_FALSE(Control(c.PreferInstalledButton).enabled);
  EXPECT_EQ(Control(c.SteamField).text, dir_ / "steam-game");
  EXPECT_TRUE(Control(c.PreferSteamButton).enabled);
  EXPECT_EQ(Control(c.LocationField).text, "自動検出 (インストール版を優先)");
  EXPECT_FALSE(Control(c.AutoDetectButton).enabled);
  EXPECT_EQ(Control(c.TokenBox).text, "to ken");
  EXPECT_NE(Control(c.AboutBox).text.find("127.0.0.1:" + std::to_string(server_.Port())),
            std::string::npos);
}

TEST_F(EventLoopTest, OptionsExcludeEachOtherAndLocationButtonsSetTheOverride) {
  State().SteamGameFolder = game_;
  ClickAt(570, 20);
  const auto& c = SettingsWindow;
  EXPECT_EQ(State().LocalizationMode, "kanade-conv-test");  // filled in by opening
  toolkit_.SetChecked(c.ModeTestOption, true);
  ClickSettings(c.ModeTestOption);
  EXPECT_EQ(State().LocalizationMode, "kanade-test");
  EXPECT_FALSE(Control(c.ModeConvTestOption).checked);
  EXPECT_TRUE(Control(c.ModeTestOption).checked);

  ClickSettings(c.PreferSteamButton);
  EXPECT_EQ(State().GameLocationOverride, game_);
  EXPECT_EQ(Control(c.LocationField).text, game_);
  EXPECT_TRUE(Control(c.AutoDetectButton).enabled);

  toolkit_.AnswerFileDialog("");  // cancelled
  ClickSettings(c.BrowseButton);
  EXPECT_EQ(State().GameLocationOverride, game_);
  ASSERT_EQ(toolkit_.dialog_requests().size(), 1u);
  EXPECT_EQ(toolkit_.dialog_requests()[0].title, "SotA ゲームフォルダを指定する");

  ClickSettings(c.AutoDetectButton);
  EXPECT_EQ(State().GameLocationOverride, "");
  EXPECT_EQ(Control(c.LocationField).text, "自動検出 (インストール版を優先)");
  EXPECT_FALSE(Control(c.AutoDetectButton).enabled);
}

TEST_F(EventLoopTest, ClosingTheSettingsWindowSavesDetectsAndRestarts) {
  ClickAt(570, 20);
  toolkit_.SetText(SettingsWindow.TokenBox, " a b\r\nc \n");
  Event close;
  close.kind = EventKind::kCloseRequest;
  close.window = SettingsWindow.Window;
  Dispatch(close);
  EXPECT_EQ(SettingsWindow.Window, 0);
  EXPECT_EQ(CurrentRun().CurrentStep(), PatchRun::Step::kWait);
  EXPECT_EQ(Console().Last, 0);
  EXPECT_EQ(State().LiveTranslationToken, "abc");
  EXPECT_NE(ReadFile(dir_ / "program/kanade.ini").find("LiveTranslationToken=abc\r\n"),
            std::string::npos);
  EXPECT_EQ(State().GameFolder, game_);
}

TEST_F(EventLoopTest, ArrowKeysScrollTheConsole) {
  for (int i = 0; i < 20; ++i) AddConsoleLine("line");
  DrawConsole(13, 138, 9);
  toolkit_.KeyPress(MainWindow, MainCanvas, kKeyUp);
  toolkit_.KeyPress(MainWindow, MainCanvas, kKeyUp);
  toolkit_.KeyPress(MainWindow, MainCanvas, kKeyDown);
  toolkit_.KeyPress(MainWindow, MainCanvas, 65);
  CurrentRun().Rest();  // keep the run from adding lines meanwhile
  for (int i = 0; i < 4; ++i) Dispatch(toolkit_.WaitEvent());
  EXPECT_EQ(Console().Scroll, 1);
}

TEST_F(EventLoopTest, AnyEventsInAnyOrderKeepTheStateConsistent) {
  std::mt19937 random(12345);
  auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
  int saves = 0;
  for (int i = 0; i < 3000 && !ended_; ++i) {
    Event e;
    const int kind = pick(10);
    toolkit_.SetPointer(MainWindow, {pick(620) - 10, pick(320) - 10});
    if (kind < 4 || SettingsWindow.Window == 0) {
      e.window = MainWindow;
      e.kind = kind == 0 ? EventKind::kOther : EventKind::kControl;
      e.control = kind == 1 ? MainCanvas + 1 : MainCanvas;
      e.type = pick(2) ? ControlEventType::kLeftClick : ControlEventType::kKeyPress;
      e.key = pick(2) ? kKeyUp : kKeyDown;
      if (kind == 3) e.kind = EventKind::kTimer;
    } else {
      const auto controls = toolkit_.ControlsOf(SettingsWindow.Window);
      e.window = SettingsWindow.Window;
      e.kind = pick(8) == 0 ? EventKind::kCloseRequest : EventKind::kControl;
      e.control = controls[static_cast<std::size_t>(pick(static_cast<int>(controls.size())))];
      e.type = ControlEventType::kLeftClick;
      // A disabled control reports nothing in a real window.
      if (!toolkit_.control(e.control)->enabled) e.kind = EventKind::kOther;
      if (pick(2)) toolkit_.SetChecked(e.control, pick(2));
      if (e.kind == EventKind::kCloseRequest) ++saves;
      if (e.control == SettingsWindow.BrowseButton) toolkit_.AnswerFileDialog(game_ + "/x.exe");
    }
    Dispatch(e);
    // The invariants a user relies on after every event.
    ASSERT_LE(CurrentRun().CurrentStep(), PatchRun::Step::kRest);
    ASSERT_LE(Console().Scroll, std::max(0, Console().Last - Console().VisibleLines + 1));
    ASSERT_GE(Console().Scroll, 0);
    ASSERT_EQ(Console().Lines.size(), Console().Colours.size());
    const std::string& mode = State().LocalizationMode;
    ASSERT_TRUE(mode.empty() || mode == "kanade-test" || mode == "kanade-conv-test" ||
                mode == "kanade-prefixed");
    ASSERT_EQ(State().EnableLuaIntegration, 0);
    if (SettingsWindow.Window != 0) {
      int checked = 0;
      for (ControlHandle option : {SettingsWindow.ModeConvTestOption, SettingsWindow.ModeTestOption,
                                   SettingsWindow.ModePrefixedOption}) {
        checked += toolkit_.IsChecked(option) ? 1 : 0;
      }
      ASSERT_LE(checked, 1);
    }
  }
  EXPECT_FALSE(ended_);
  EXPECT_GT(saves, 0);
  const std::string ini = ReadFile(dir_ / "program/kanade.ini");
  EXPECT_NE(ini.find("LocalizationMode=kanade-"), std::string::npos) << ini;
}

TEST_F(EventLoopTest, StartUpWithNothingOpensTheWindowAndACloseRequestEndsIt) {
  toolkit_.CloseWindow(MainWindow);
  ForgetMainWindow();
  const std::string folder = dir_ / "started-here";
  test::WriteFile(folder + "/.keep", "");
  const auto old = std::filesystem::current_path();
  std::filesystem::current_path(folder);
  char program[] = "kanade";
  char* argv[] = {program};
  // The first timer event starts the run, which then asks for the events of
  // its steps itself and comes to rest at the first-run settings window;
  // after two more timer events the main window is asked to close.
  const std::string nowhere = "http://127.0.0.1:" + std::to_string(test::UnusedPort());
  ::setenv("KANADE_REPOSITORY_URL", nowhere.c_str(), 1);
  toolkit_.CloseAfterTimerEvents(3);
  EXPECT_EQ(RunProgram(1, argv, &toolkit_), 0);
  std::filesystem::current_path(old);
  EXPECT_TRUE(ended_);
  const std::string log = ReadFile(folder + "/kanade.log");
  EXPECT_EQ(log.rfind("===== Program Started =====\r\n\r\n> Kanade 非公式日本語化Patcher", 0), 0u);
  EXPECT_EQ(ReadFile(folder + "/kanade.ini"), "<missing>");
  EXPECT_EQ(CurrentRun().CurrentStep(),
            PatchRun::Step::kRest);  // resting with the first-run settings window open
  EXPECT_EQ(MainWindow, 0);          // closed by the shutdown sequence
}

}  // namespace
}  // namespace kanade
