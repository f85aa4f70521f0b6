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

// Mask IoU with the same layout and crowd rule. Pairs whose boxes do not
// overlap are 0, masks of different sizes -1. With theta > 0 a pair whose
// IoU provably lies below theta is reported as 0 without walking its runs.
// The masks' bounding boxes (rle_bbox) may be passed in where the caller
// keeps them; a list of another length than its masks is worked out here.
void rle_iou(std::span<const Rle* const> dt, std::span<const Rle* const> gt,
             std::span<const uint8_t> crowd, double theta, std::span<double> out,
             std::span<const Box> dt_boxes = {}, std::span<const Box> gt_boxes = {});

}  // namespace quillscore::rle
