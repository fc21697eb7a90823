#include "ui/picture_scaling.h"

#include <algorithm>
#include <cmath>

namespace kanade {

namespace {

// For each target pixel along one axis: the two source pixels it lies
// between and the weight of the second, in 1/256.
struct Tap {
  int first = 0;
  int second = 0;
  int weight = 0;
};

std::vector<Tap> Taps(int from, int to) {
  std::vector<Tap> taps(static_cast<std::size_t>(to));
  for (int i = 0; i < to; ++i) {
    const double at = std::clamp((i + 0.5) * from / to - 0.5, 0.0, from - 1.0);
    Tap& tap = taps[static_cast<std::size_t>(i)];
    tap.first = static_cast<int>(at);
    tap.second = std::min(tap.first + 1, from - 1);
    tap.weight = static_cast<int>(std::lround((at - tap.first) * 256));
  }
  return taps;
}

}  // namespace

DecodedPicture ScalePicture(const DecodedPicture& picture, int width, int height) {
  DecodedPicture out;
  if (width <= 0 || height <= 0 || picture.width <= 0 || picture.height <= 0 ||
      picture.rgb.size() < static_cast<std::size_t>(picture.width) * picture.height * 3) {
    return out;
  }
  out.width = width;
  out.height = height;
  out.rgb.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3);
  const std::vector<Tap> columns = Taps(picture.width, width);
  const std::vector<Tap> rows = Taps(picture.height, height);
  const auto source = [&](int x, int y, int channel) -> int {
    return picture.rgb[(static_cast<std::size_t>(y) * picture.width + x) * 3 + channel];
  };
  std::uint8_t* target = out.rgb.data();
  for (const Tap& row : rows) {
    for (const Tap& column : columns) {
      for (int channel = 0; channel < 3; ++channel) {
        const int top = source(column.first, row.first, channel) * (256 - column.weight) +
                        source(column.second, row.first, channel) * column.weight;
        const int bottom = source(column.first, row.second, channel) * (256 - column.weight) +
                           source(column.second, row.second, channel) * column.weight;
        *target++ = static_cast<std::uint8_t>(
            (top * (256 - row.weight) + bottom * row.weight + (1 << 15)) >> 16);
      }
    }
  }
  return out;
}

}  // namespace kanade
