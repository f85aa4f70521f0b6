// Object keypoint similarity between ranked detections and ground truths.
#pragma once

#include <cstdint>
#include <span>

#include "core/eval/model.h"

namespace quillscore::eval {

// A ground truth's keypoint scale taken from its box, for data that annotate
// keypoints and boxes but no mask area: w * h * 0.53, multiplied in that
// order (the other order differs from the tools people compare with in the
// last bit of about a third of boxes).
double keypoint_box_area(const Box& box);

// Fills out[d * gts.size() + g] with the OKS of ranked detection d and ground
// truth g.
void oks_matrix(const EngineState& st, const Keypoints& dt, const Keypoints& gt,
                std::span<const uint32_t> ranked, std::span<const uint32_t> gts,
                std::span<double> out);

}  // namespace quillscore::eval
