#include "ui/backdrops.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "ui/picture_decoders.h"

namespace kanade {
namespace {

struct Picture {
  DecodedPicture p;
  int Luma(int x, int y) const {
    const std::uint8_t* px = p.rgb.data() + (static_cast<std::size_t>(y) * p.width + x) * 3;
    return (px[0] * 299 + px[1] * 587 + px[2] * 114) / 1000;
  }
  bool Yellow(int x, int y) const {
    const std::uint8_t* px = p.rgb.data() + (static_cast<std::size_t>(y) * p.width + x) * 3;
    return px[0] > 170 && px[1] > 170 && px[2] < 110;
  }
  double MeanLuma(int x0, int y0, int x1, int y1) const {
    double sum = 0;
    for (int y = y0; y < y1; ++y) {
      for (int x = x0; x < x1; ++x) sum += Luma(x, y);
    }
    return sum / ((x1 - x0) * (y1 - y0));
  }
  int CountYellow(int x0, int y0, int x1, int y1) const {
    int n = 0;
    for (int y = y0; y < y1; ++y) {
      for (int x = x0; x < x1; ++x) n += Yellow(x, y);
    }
    return n;
  }
};

Picture Backdrop(int n) {
  std::optional<DecodedPicture> p = DecodePicture(kBackdropData[n], kBackdropSize[n]);
  EXPECT_TRUE(p.has_value()) << "backdrop " << n + 1;
  return Picture{p.value_or(DecodedPicture{})};
}

TEST(BackdropsTest, EightDistinctPicturesOfTheCanvasSize) {
  std::vector<Picture> pictures;
  for (int n = 0; n < kBackdropCount; ++n) {
    pictures.push_back(Backdrop(n));
    EXPECT_EQ(pictures.back().p.width, kBackdropWidth);
    EXPECT_EQ(pictures.back().p.height, kBackdropHeight);
  }
  for (int a = 0; a < kBackdropCount; ++a) {
    for (int b = a + 1; b < kBackdropCount; ++b) {
      long long difference = 0;
      for (std::size_t i = 0; i < pictures[a].p.rgb.size(); i += 97) {
        difference += std::abs(pictures[a].p.rgb[i] - pictures[b].p.rgb[i]);
      }
      EXPECT_GT(difference / static_cast<double>(pictures[a].p.rgb.size() / 97), 10.0)
          << "backdrops " << a + 1 << " and " << b + 1 << " look alike";
    }
  }
}

// The program paints the folder lines at (100, 85) and (100, 102) and the
// console from (13, 138) in white, red and green: the pictures must carry
// the labels left of x = 100 and keep the text areas dark.
TEST(BackdropsTest, LabelsSitLeftOfTheFolderLinesAndTextAreasStayDark) {
  for (int n = 0; n < kBackdropCount; ++n) {
    SCOPED_TRACE(n + 1);
    const Picture picture = Backdrop(n);
    if (picture.p.width != kBackdropWidth || picture.p.height != kBackdropHeight) continue;
    EXPECT_GT(picture.CountYellow(0, 86, 100, 100), 25) << "label of the game folder line";
    EXPECT_GT(picture.CountYellow(0, 103, 100, 117), 25) << "label of the data folder line";
    EXPECT_EQ(picture.CountYellow(100, 80, 600, 120), 0) << "nothing yellow under the folder texts";
    EXPECT_LT(picture.MeanLuma(100, 82, 600, 118), 100) << "folder band";
    EXPECT_LT(picture.MeanLuma(0, 136, 600, 300), 100) << "console band";
  }
}

}  // namespace
}  // namespace kanade
