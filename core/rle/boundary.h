// Boundary bands of masks, for Boundary IoU.
#pragma once

#include "core/rle/rle.h"

namespace quillscore::rle {

// The ratio used when the caller names none: bands 2% of the image diagonal
// wide, the width Boundary IoU was defined with.
inline constexpr double kDefaultDilationRatio = 0.02;

// The pixels of `mask` within distance d of its outside (the image's outside
// counts as background), d = round(ratio * image diagonal), at least 1.
// Working memory is two bytes per pixel of the mask's bounding box, however
// large the image.
Rle rle_boundary(const Rle& mask, double ratio);

}  // namespace quillscore::rle
