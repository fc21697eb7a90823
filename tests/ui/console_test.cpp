#include "ui/console.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "state/patcher_state.h"
#include "support/headless_toolkit.h"
#include "support/temp_dir.h"
#include "ui/log_file.h"
#include "util/clock.h"

namespace kanade {
namespace {

class ConsoleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::ResetForTest(dir_.path());
    SetToolkit(&toolkit_);
  }
  std::string Log() const { return test::ReadFile(dir_ / "kanade.log"); }

  test::TempDir dir_;
  HeadlessToolkit toolkit_;
};

TEST_F(ConsoleTest, StartOfARunWritesMarkerBlankLineAndTitle) {
  WriteLogLine("===== Program Started =====");
  ResetConsole();
  EXPECT_EQ(Log(),
            "===== Program Started =====\r\n"
            "\r\n"
            "> Kanade 非公式日本語化Patcher Build " KANADE_TEST_PROJECT_VERSION "\r\n");
  EXPECT_EQ(Console().Last, 0);
  EXPECT_EQ(Console().Lines[0], ConsoleTitle);
}

TEST_F(ConsoleTest, UpgradeModePrefixesEveryLogLine) {
  LogLinePrefix = "UPG:";
  WriteLogLine("===== Program Started =====");
  ResetConsole();
  const int line = AddConsoleLine("レポジトリを取得中: x");
  SetConsoleLineText("レポジトリを取得中: x 成功", line);
  EXPECT_EQ(Log(),
            "UPG:===== Program Started =====\r\n"
            "UPG:\r\n"
            "UPG:> Kanade 非公式日本語化Patcher Build " KANADE_TEST_PROJECT_VERSION
            "\r\n"
            "UPG:> レポジトリを取得中: x\r\n"
            "UPG:< レポジトリを取得中: x 成功\r\n");
}

TEST_F(ConsoleTest, LinesAreAddedRewrittenAndRecolouredByIndex) {
  ResetConsole();
  const int a = AddConsoleLine("first");
  const int b = AddConsoleLine("second", kGreen);
  EXPECT_EQ(a, 1);
  EXPECT_EQ(b, 2);
  EXPECT_EQ(Console().Colours[1], kWhite);
  EXPECT_EQ(Console().Colours[2], kGreen);
  SetConsoleLineText("first 失敗", a);
  SetConsoleLineColour(kRed, a);
  EXPECT_EQ(Console().Lines[1], "first 失敗");
  EXPECT_EQ(Console().Colours[1], kRed);
  // Index 0 names the newest line; a colour change is not logged.
  SetConsoleLineColour(kRed);
  EXPECT_EQ(Console().Colours[2], kRed);
  EXPECT_EQ(Log().find("first 失敗\r\n") != std::string::npos, true);
  EXPECT_EQ(Log().substr(Log().size() - 16), "< first 失敗\r\n");
}

TEST_F(ConsoleTest, IndexZeroRewritesTheTitleOnlyWhileItIsNewest) {
  ResetConsole();
  SetConsoleLineText("new title");
  EXPECT_EQ(Console().Lines[0], "new title");
  AddConsoleLine("line");
  SetConsoleLineText("changed");
  EXPECT_EQ(Console().Lines[0], "new title");
  EXPECT_EQ(Console().Lines[1], "changed");
}

TEST_F(ConsoleTest, StaleIndicesAfterAResetAreIgnored) {
  ResetConsole();
  for (int i = 0; i < 5; ++i) AddConsoleLine("x");
  ResetConsole();
  const std::string before = Log();
  SetConsoleLineText("stale", 4);
  SetConsoleLineColour(kRed, 4);
  SetConsoleLineText("negative", -1);
  EXPECT_EQ(Console().Lines.size(), 1u);
  EXPECT_EQ(Log(), before);
}

TEST_F(ConsoleTest, ScrollingReachesTheTitleLineAndNewLinesSnapBack) {
  // Lines after the title -> how far the view scrolls back: exactly to the
  // title line, which then shows at the top.
  for (const auto& [added, limit] : {std::pair{0, 0}, {8, 0}, {9, 1}, {20, 12}}) {
    ResetConsole();
    DrawConsole(13, 138, 9);
    for (int i = 1; i <= added; ++i) AddConsoleLine("line " + std::to_string(i));
    for (int i = 0; i < 30; ++i) ScrollConsoleUp();
    EXPECT_EQ(Console().Scroll, limit) << added;
    EXPECT_EQ(FirstVisibleConsoleLine(9), 0) << added;
  }
  ScrollConsoleDown();
  EXPECT_EQ(Console().Scroll, 11);
  AddConsoleLine("newest");
  EXPECT_EQ(Console().Scroll, 0);
  ScrollConsoleDown();
  EXPECT_EQ(Console().Scroll, 0);
}

TEST_F(ConsoleTest, DrawShowsTheNewestLinesShortenedAndMovesOneLinePerStep) {
  const WindowHandle w = toolkit_.OpenWindow(600, 300, "t", true, 0);
  const ControlHandle canvas =
      toolkit_.CreateControl(w, ControlKind::kCanvas, {0, 0, 600, 300}, "");
  ResetConsole();
  for (int i = 1; i <= 12; ++i) AddConsoleLine("line " + std::to_string(i));
  const std::string long_line = std::string(40, 'a') + "middle" + std::string(50, 'z');
  AddConsoleLine(long_line, kRed);

  ASSERT_TRUE(toolkit_.BeginDraw(canvas));
  DrawConsole(13, 138, 9);
  toolkit_.EndDraw(canvas);
  auto texts = toolkit_.TextsDrawn();
  ASSERT_EQ(texts.size(), 9u);
  EXPECT_EQ(texts.front().text, "line 5");
  EXPECT_EQ(texts.front().y, 138);
  EXPECT_EQ(texts.front().x, 13);
  EXPECT_EQ(texts.back().text, std::string(40, 'a') + "…" + std::string(50, 'z'));
  EXPECT_EQ(texts.back().colour, kRed);
  EXPECT_EQ(texts.back().y, 138 + 8 * 16);

  ScrollConsoleUp();
  ScrollConsoleUp();
  ASSERT_TRUE(toolkit_.BeginDraw(canvas));
  DrawConsole(13, 138, 9);
  toolkit_.EndDraw(canvas);
  texts = toolkit_.TextsDrawn();
  ASSERT_EQ(texts.size(), 9u);
  EXPECT_EQ(texts.front().text, "line 3");
  EXPECT_EQ(texts.back().text, "line 11");
  EXPECT_NE(Log().find(long_line), std::string::npos);  // the log keeps it whole

  // A foot line takes the last row, scrolled or not, and goes again.
  SetConsoleFootLine("foot", false);
  ASSERT_TRUE(toolkit_.BeginDraw(canvas));
  DrawConsole(13, 138, 9);
  toolkit_.EndDraw(canvas);
  texts = toolkit_.TextsDrawn();
  ASSERT_EQ(texts.size(), 9u);
  EXPECT_EQ(texts[7].text, "line 11");
  EXPECT_EQ(texts.back().text, "foot");
  EXPECT_EQ(texts.back().y, 138 + 8 * 16);
  SetConsoleFootLine("", false);
  ASSERT_TRUE(toolkit_.BeginDraw(canvas));
  DrawConsole(13, 138, 9);
  toolkit_.EndDraw(canvas);
  EXPECT_EQ(toolkit_.TextsDrawn().back().text, "line 11");
  EXPECT_EQ(Log().find("foot"), std::string::npos);
}

TEST_F(ConsoleTest, AnUnwritableLogDropsLinesSilently) {
  ProgramFolder = dir_ / "missing-folder/";
  ResetConsole();
  EXPECT_EQ(AddConsoleLine("still shown"), 1);
  EXPECT_EQ(Console().Lines[1], "still shown");
}

// The log stays open for the lines of a burst: never written through a link
// planted meanwhile, and made anew once someone deleted it.
TEST_F(ConsoleTest, AKeptLogIsReopenedAfterASecondAndStillRefusesLinks) {
  ManualClock clock;
  SetClock(&clock);
  const std::filesystem::path log = dir_ / "kanade.log";
  const std::filesystem::path outside = dir_ / "outside.txt";
  test::WriteFile(outside, "theirs");
  WriteLogLine("one");
  std::filesystem::remove(log);
  std::filesystem::create_symlink(outside, log);
  WriteLogLine("to the deleted log");
  clock.Advance(1000);
  WriteLogLine("refused");
  std::filesystem::remove(log);
  clock.Advance(1000);
  WriteLogLine("two");
  SetClock(nullptr);
  EXPECT_EQ(test::ReadFile(outside), "theirs");
  EXPECT_EQ(Log(), "two\r\n");
}

TEST_F(ConsoleTest, LogIsAppendedAcrossRunsWithoutByteOrderMark) {
  WriteLogLine("one");
  WriteLogLine("");
  WriteLogLine("日本語");
  EXPECT_EQ(Log(), "one\r\n\r\n日本語\r\n");
}

}  // namespace
}  // namespace kanade
