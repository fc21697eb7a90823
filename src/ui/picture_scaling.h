// Pictures shown at the display's scale. Both backends enlarge backdrops
// with this one filter, so that both builds look alike (GDI's HALFTONE
// stretching is not smooth under Wine).
#pragma once

#include "ui/picture_decoders.h"

namespace kanade {

/// `picture` resampled to width x height with bilinear filtering, pixel
/// centres on pixel centres; nothing when a size is not positive.
DecodedPicture ScalePicture(const DecodedPicture& picture, int width, int height);

}  // namespace kanade
