// Box and mask IoU matrices with the crowd rule of the COCO protocol.
#pragma once

#include <cstdint>
#include <span>

#include "core/rle/rle.h"

namespace quillscore::rle {

// out[d * n + g] = IoU of detection box d and ground-truth box g; a crowd
// ground truth (non-zero flag; positions past the flags are not crowd) divides
// by the detection's area instead of the union. Writes nothing if either list
// is empty.
void box_iou(std::span<const Box> dt, std::span<const Box> gt, std::span<const uint8_t> crowd,
             std::span<double> out);

// What a caller may already know of a list of masks: each one's bounding box
// (rle_bbox) and area (rle_area). A list of another length than its masks
// (empty, say) is worked out where needed.
struct MaskFacts {
  std::span<const Box> boxes;
  std::span<const uint32_t> areas;
};

// A floor of its own for pairs of masks of different classes, for readers
// that need such pairs at another precision than the rest: one class per
// mask.
struct ClassFloor {
  std::span<const uint32_t> dt_class, gt_class;
  double theta = 0;
};

// Mask IoU with the same layout and crowd rule. Pairs whose boxes do not
// overlap are 0, masks of different sizes -1. With theta > 0 a pair whose
// IoU provably lies below theta is reported as 0 without walking its runs;
// with `by_class`, a pair of different classes likewise below its floor
// instead (an infinite theta then leaves only such pairs to be walked).
void rle_iou(std::span<const Rle* const> dt, std::span<const Rle* const> gt,
             std::span<const uint8_t> crowd, double theta, std::span<double> out,
             MaskFacts dt_facts = {}, MaskFacts gt_facts = {},
             const ClassFloor* by_class = nullptr);

}  // namespace quillscore::rle
