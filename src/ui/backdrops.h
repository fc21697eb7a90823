// The eight 600 x 300 backdrop pictures of the main window, JPEG data built
// into the program from assets/backdrop_1.jpg ... backdrop_8.jpg.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kanade {

inline constexpr int kBackdropCount = 8;
inline constexpr int kBackdropWidth = 600;
inline constexpr int kBackdropHeight = 300;

extern const std::uint8_t* const kBackdropData[kBackdropCount];
extern const std::size_t kBackdropSize[kBackdropCount];

}  // namespace kanade
