#include "ui/status_canvas.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "state/patcher_state.h"
#include "support/temp_dir.h"
#include "ui/console.h"
#include "support/headless_toolkit.h"
#include "ui/main_window.h"

namespace kanade {
namespace {

using Kind = HeadlessToolkit::DrawKind;

const std::uint8_t kFakeJpeg[] = {0xFF, 0xD8, 0xFF, 0xD9};

class StatusCanvasTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::ResetForTest(dir_.path());
    SetToolkit(&toolkit_);
    SetBackdropImages(std::vector<std::span<const std::uint8_t>>(8, kFakeJpeg));
    ResetBackdropRotation();
    CanvasFont = toolkit_.LoadFont("Meiryo UI", 8);
    BuildMainWindow(0, 0, 600, 300);
    ResetConsole();
  }
  void TearDown() override {
    ResetBackdropRotation();
    ForgetMainWindow();
  }
  std::vector<HeadlessToolkit::DrawCall> Fills() const {
    std::vector<HeadlessToolkit::DrawCall> fills;
    for (const auto& call : toolkit_.last_frame()) {
      if (call.kind == Kind::kFill) fills.push_back(call);
    }
    return fills;
  }

  test::TempDir dir_;
  HeadlessToolkit toolkit_;
};

TEST_F(StatusCanvasTest, MainWindowHasTheFixedLayout) {
  const auto* window = toolkit_.window(MainWindow);
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(window->width, 600);
  EXPECT_EQ(window->height, 300);
  EXPECT_EQ(window->title, "Kanade Patcher");
  EXPECT_TRUE(window->minimise_box);
  EXPECT_EQ(window->background, (Rgb{192, 192, 192}));
  EXPECT_EQ(toolkit_.control(MainCanvas)->rect, (Rect{0, 0, 600, 300}));
  EXPECT_EQ(toolkit_.control(SettingsButton)->rect, (Rect{560, 5, 32, 32}));
  EXPECT_EQ(toolkit_.control(SettingsButton)->caption, "設定");
  EXPECT_EQ(toolkit_.control(RefreshButton)->rect, (Rect{10, 5, 32, 32}));
  EXPECT_EQ(toolkit_.control(RefreshButton)->caption, "更新");
}

TEST_F(StatusCanvasTest, UnknownFoldersShowTheRedHintAndTheConsoleStartsAtItsBand) {
  DrawStatusCanvas(true);
  const auto& frame = toolkit_.last_frame();
  ASSERT_FALSE(frame.empty());
  EXPECT_EQ(frame[0].kind, Kind::kTransparent);
  EXPECT_EQ(frame[2].kind, Kind::kPicture);
  EXPECT_EQ(frame[2].x, 0);
  const auto texts = toolkit_.TextsDrawn();
  ASSERT_GE(texts.size(), 5u);
  EXPECT_EQ(texts[0].text, kUnknownFolderText);
  EXPECT_EQ(texts[0].colour, kRed);
  EXPECT_EQ(texts[0].x, 100);
  EXPECT_EQ(texts[0].y, 85);
  EXPECT_EQ(texts[1].text, kUnknownFolderText);
  EXPECT_EQ(texts[1].y, 102);
  EXPECT_EQ(texts.back().text, ConsoleTitle);
  EXPECT_EQ(texts.back().x, 13);
  EXPECT_EQ(texts.back().y, 138);
}

TEST_F(StatusCanvasTest, FolderLinesAreShortenedAndTurnRedWhenTheFolderGoes) {
  const std::string game = dir_.path() + "/" + std::string(80, 'g');
  test::WriteFile(game + "/x", "");
  State().GameFolder = game;
  State().DataFolder = dir_.path();
  DrawStatusCanvas(true);
  auto texts = toolkit_.TextsDrawn();
  EXPECT_EQ(texts[0].text, game.substr(0, 20) + "…" + game.substr(game.size() - 50));
  EXPECT_EQ(texts[0].colour, kWhite);
  EXPECT_EQ(texts[1].text, dir_.path());
  std::filesystem::remove_all(game);
  DrawStatusCanvas(true);
  EXPECT_EQ(toolkit_.TextsDrawn()[0].text, kUnknownFolderText);
}

TEST_F(StatusCanvasTest, BoxesAreFramedAndHighlightedWhileHovered) {
  State().SettingsHoverUntil = toolkit_.clock().ElapsedMs() + 100;
  DrawStatusCanvas(true);
  auto fills = Fills();
  ASSERT_EQ(fills.size(), 4u);
  EXPECT_EQ(fills[0].rect, (Rect{560, 5, 32, 32}));
  EXPECT_EQ(fills[0].colour, kYellow);
  EXPECT_EQ(fills[1].rect, (Rect{561, 6, 30, 30}));
  EXPECT_EQ(fills[1].colour, kBlack);
  EXPECT_EQ(fills[2].rect, (Rect{10, 5, 32, 32}));
  EXPECT_EQ(fills[2].colour, (Rgb{200, 200, 200}));
  const auto texts = toolkit_.TextsDrawn();
  EXPECT_EQ(texts[2].text, "設定");
  EXPECT_EQ(texts[2].x, 564);
  EXPECT_EQ(texts[2].y, 13);
  EXPECT_EQ(texts[2].colour, kYellow);
  EXPECT_EQ(texts[3].text, "更新");
  EXPECT_EQ(texts[3].x, 14);

  toolkit_.clock().Advance(100);
  DrawStatusCanvas(true);
  EXPECT_EQ(Fills()[0].colour, (Rgb{200, 200, 200}));
}

TEST_F(StatusCanvasTest, RepaintsOnlyWhenDirtyOrEveryTenthOfASecond) {
  DrawStatusCanvas(true);
  const int frames = toolkit_.frames_drawn();
  DrawStatusCanvas(false);
  EXPECT_EQ(toolkit_.frames_drawn(), frames);
  AddConsoleLine("new line");
  DrawStatusCanvas(false);
  EXPECT_EQ(toolkit_.frames_drawn(), frames + 1);
  toolkit_.clock().Advance(100);
  DrawStatusCanvas(false);
  EXPECT_EQ(toolkit_.frames_drawn(), frames + 2);
  // A failed begin skips the repaint; the next tick tries again.
  toolkit_.FailNextBeginDraw();
  toolkit_.clock().Advance(100);
  DrawStatusCanvas(false);
  EXPECT_EQ(toolkit_.frames_drawn(), frames + 2);
  toolkit_.clock().Advance(100);
  DrawStatusCanvas(false);
  EXPECT_EQ(toolkit_.frames_drawn(), frames + 3);
}

TEST_F(StatusCanvasTest, BackdropIsPickedFirstAndThenEveryThirtyOneSeconds) {
  EXPECT_EQ(CurrentBackdrop(), 0);
  DrawStatusCanvas(false);
  const PictureHandle first = CurrentBackdrop();
  EXPECT_NE(first, 0);
  toolkit_.clock().Advance(30'000);
  DrawStatusCanvas(false);
  EXPECT_EQ(CurrentBackdrop(), first);
  toolkit_.clock().Advance(1'000);
  DrawStatusCanvas(false);
  EXPECT_NE(CurrentBackdrop(), first);
  EXPECT_EQ(toolkit_.pictures_alive(), 1);  // the old picture was released
}

}  // namespace
}  // namespace kanade
