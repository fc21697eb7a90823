#include "settings/settings_window.h"

#include <gtest/gtest.h>

#include "support/headless_toolkit.h"
#include "ui/main_window.h"

namespace kanade {
namespace {

TEST(SettingsWindowLayout, ControlsComeInOrderWithTheirFontsColoursAndStates) {
  HeadlessToolkit toolkit;
  SetToolkit(&toolkit);
  DialogFont = toolkit.LoadFont("Meiryo UI", 8);
  MonoFont = toolkit.LoadFont("Courier New", 8);
  MainWindow = toolkit.OpenWindow(600, 300, "Kanade Patcher", true, 0);
  BuildSettingsWindow(0, 0, 600, 500);
  const SettingsWindowControls& c = SettingsWindow;
  const auto* window = toolkit.window(c.Window);
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(window->title, "Kanade Patcher 設定");
  EXPECT_EQ(window->width, 600);
  EXPECT_EQ(window->height, 500);
  EXPECT_FALSE(window->minimise_box);
  EXPECT_EQ(window->owner, MainWindow);

  const auto controls = toolkit.ControlsOf(c.Window);
  ASSERT_EQ(controls.size(), 28u);
  EXPECT_EQ(controls.front(), c.AboutBox);
  EXPECT_EQ(controls[15], c.OkButton);
  EXPECT_EQ(controls.back(), c.NotImplementedLabel);

  EXPECT_EQ(toolkit.control(c.ModeConvTestOption)->kind, ControlKind::kOptionButton);
  EXPECT_EQ(toolkit.control(c.ModePrefixedOption)->caption,
            "Kanade-ui+conv-fuzzy-prefixedを適用する");
  EXPECT_EQ(toolkit.control(c.ModePrefixedNote)->rect, (Rect{70, 420, 270, 25}));
  EXPECT_EQ(toolkit.control(c.TokenBox)->font, MonoFont);
  EXPECT_EQ(toolkit.control(c.TokenBox)->kind, ControlKind::kEditableBox);
  EXPECT_EQ(toolkit.control(c.AboutBox)->kind, ControlKind::kReadOnlyBox);
  EXPECT_EQ(toolkit.control(c.OkButton)->font, 0);  // the toolkit's default
  int defaults = 0;
  for (ControlHandle h : controls) defaults += toolkit.control(h)->default_button ? 1 : 0;
  EXPECT_TRUE(toolkit.control(c.OkButton)->default_button);  // Enter presses OK
  EXPECT_EQ(defaults, 1);
  EXPECT_FALSE(toolkit.control(c.TokenBox)->enabled);
  EXPECT_FALSE(toolkit.control(c.EnableLuaCheck)->enabled);
  for (ControlHandle red : {c.LuaWarningLine1, c.LuaWarningLine2, c.NotImplementedLabel}) {
    EXPECT_TRUE(toolkit.control(red)->has_text_colour);
    EXPECT_EQ(toolkit.control(red)->text_colour, kRed);
    EXPECT_EQ(toolkit.control(red)->font, DialogFont);
  }
  EXPECT_EQ(toolkit.control(c.LuaWarningLine1)->kind, ControlKind::kLabelCentred);
  int enabled = 0;
  for (ControlHandle h : controls) enabled += toolkit.control(h)->enabled ? 1 : 0;
  EXPECT_EQ(enabled, 26);
  SettingsWindow = {};
  ForgetMainWindow();
}

}  // namespace
}  // namespace kanade
