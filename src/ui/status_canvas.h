// The painted main canvas: backdrop, the two folder lines, the two boxes
// and the console.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "ui/toolkit.h"

namespace kanade {

/// The backdrops as held JPEG data (the program passes the embedded ones).
void SetBackdropImages(std::vector<std::span<const std::uint8_t>> images);

/// Clears the backdrop rotation so that the next drawing picks a picture.
void ResetBackdropRotation();

/// The picture drawn now (0 before the first drawing).
PictureHandle CurrentBackdrop();

/// Repaints the canvas when anything requires it (or always, when forced).
void DrawStatusCanvas(bool force);

inline constexpr std::string_view kUnknownFolderText = "不明です。[参照]を押して設定してください。";

}  // namespace kanade
