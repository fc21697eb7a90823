// Decoders for the picture formats the program registers at start-up:
// JPEG (libjpeg), PNG (libpng) and JPEG 2000 (OpenJPEG, codestream and JP2).
// They know nothing of windows: the toolkit turns the RGB bytes into its own
// picture type.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace kanade {

struct DecodedPicture {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> rgb;  // width * height * 3 bytes, top row first
};

/// Larger pictures are refused, so that a damaged header cannot ask for
/// gigabytes of memory.
inline constexpr int kMaxPictureSide = 16384;
inline constexpr std::size_t kMaxPicturePixels = std::size_t{64} << 20;

/// Makes the three decoders available. Idempotent; DecodePicture calls it
/// itself when start-up has not.
void RegisterImageDecoders();

/// Whether a decoder with that name ("jpeg", "png", "jpeg2000") is registered.
bool IsImageDecoderRegistered(std::string_view name);

/// Decodes a picture held in memory; the format is told by its signature.
/// Damaged, truncated or unknown data gives nothing (never a crash); the
/// decoders print nothing. Transparent pixels of a PNG are blended onto black.
std::optional<DecodedPicture> DecodePicture(const std::uint8_t* data, std::size_t size);

}  // namespace kanade
