#include "ui/display_scale.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "app/event_loop.h"
#include "state/patcher_state.h"
#include "support/temp_dir.h"
#include "support/headless_toolkit.h"
#include "ui/main_window.h"
#include "ui/picture_scaling.h"

namespace kanade {
namespace {

struct Scale {
  int dpi;
  int width, height;  // the 600 x 300 window
  int font;           // 8 points
};

constexpr Scale kScales[] = {
    {96, 600, 300, 11},   {120, 750, 375, 13},  {144, 900, 450, 16},
    {168, 1050, 525, 19}, {192, 1200, 600, 21},
};

TEST(DisplayScaleTest, SizesFontsAndThePointerFollowOneFactor) {
  for (const Scale& s : kScales) {
    SCOPED_TRACE(s.dpi);
    const DisplayScale scale(s.dpi);
    EXPECT_EQ(scale.Scale(Rect{0, 0, 600, 300}), (Rect{0, 0, s.width, s.height}));
    EXPECT_EQ(scale.FontPixels(8), s.font);
    // Boxes that touch still touch, whatever the rounding of their edges.
    for (int x = 0; x < 40; ++x) {
      const Rect left = scale.Scale(Rect{x, 5, 7, 3}), right = scale.Scale(Rect{x + 7, 8, 5, 2});
      ASSERT_EQ(left.x + left.width, right.x) << x;
      ASSERT_EQ(left.y + left.height, right.y) << x;
    }
    // Every device pixel belongs to the layout pixel whose scaled box holds it.
    for (int device = -5; device < 1300; ++device) {
      const int layout = scale.Unscale(device);
      ASSERT_LE(scale.Scale(layout), device) << device;
      ASSERT_GT(scale.Scale(layout + 1), device) << device;
    }
  }
}

TEST(DisplayScaleTest, ReportedDpiIsTakenOnlyWhenItMakesSense) {
  const struct {
    double reported;
    int usable, desktop;
  } cases[] = {
      {0, 96, 96},       {std::nan(""), 96, 96}, {47, 96, 96},    {72, 72, 96},
      {93, 93, 96},      {101, 101, 96},         {110, 110, 120}, {120, 120, 120},
      {143.6, 144, 144}, {192, 192, 192},        {480, 480, 480}, {481, 96, 96},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(UsableDpi(c.reported), c.usable) << c.reported;
    EXPECT_EQ(DesktopStepDpi(c.reported), c.desktop) << c.reported;
  }
}

// A black and a white pixel enlarged: the ends keep their colours, between
// them a ramp of greys, not two blocks.
TEST(DisplayScaleTest, PicturesAreEnlargedSmoothly) {
  const DecodedPicture pair{2, 1, {0, 0, 0, 255, 255, 255}};
  EXPECT_EQ(ScalePicture(pair, 2, 1).rgb, pair.rgb);
  EXPECT_TRUE(ScalePicture(pair, 0, 3).rgb.empty());
  const DecodedPicture wide = ScalePicture(pair, 8, 2);
  ASSERT_EQ(wide.rgb.size(), 8u * 2 * 3);
  std::vector<int> reds;
  for (int x = 0; x < 8; ++x) reds.push_back(wide.rgb[x * 3]);
  EXPECT_EQ(reds.front(), 0);
  EXPECT_EQ(reds.back(), 255);
  EXPECT_TRUE(std::is_sorted(reds.begin(), reds.end()));
  EXPECT_GE(std::count_if(reds.begin(), reds.end(), [](int v) { return v > 0 && v < 255; }), 4);
  EXPECT_TRUE(std::equal(wide.rgb.begin(), wide.rgb.begin() + 24, wide.rgb.begin() + 24));
}

// The program's own main window on the headless backend at each scale: the
// window's device size, and the pointer anywhere on the scaled settings box,
// and nowhere else, lights it.
TEST(DisplayScaleTest, ThePointerFindsTheSettingsBoxAtEveryScale) {
  test::TempDir dir;
  for (const Scale& s : kScales) {
    SCOPED_TRACE(s.dpi);
    test::ResetForTest(dir.path());
    HeadlessToolkit toolkit(s.dpi);
    SetToolkit(&toolkit);
    BuildMainWindow(0, 0, 600, 300);
    EXPECT_EQ(toolkit.window(MainWindow)->device_width, s.width);
    EXPECT_EQ(toolkit.window(MainWindow)->device_height, s.height);
    const Rect box = toolkit.control(SettingsButton)->device_rect;
    EXPECT_EQ(box, DisplayScale(s.dpi).Scale(Rect{560, 5, 32, 32}));
    for (int y = box.y - 2; y < box.y + box.height + 2; ++y) {
      for (int x = box.x - 2; x < box.x + box.width + 2; ++x) {
        State().SettingsHoverUntil = 0;
        toolkit.SetPointer(MainWindow, {x, y});
        TrackPointer();
        const bool inside =
            x >= box.x && x < box.x + box.width && y >= box.y && y < box.y + box.height;
        ASSERT_EQ(State().SettingsHoverUntil > 0, inside) << x << ", " << y;
      }
    }
    ForgetMainWindow();
    SetToolkit(nullptr);
  }
}

}  // namespace
}  // namespace kanade
