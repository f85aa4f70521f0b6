// Object keypoint similarity between ranked detections and ground truths.
#pragma once

#include <cstdint>
#include <span>

#include "core/eval/model.h"

namespace quillscore::eval {

// Fills out[d * gts.size() + g] with the OKS of ranked detection d and ground
// truth g.
void oks_matrix(const EngineState& st, const Keypoints& dt, const Keypoints& gt,
                std::span<const uint32_t> ranked, std::span<const uint32_t> gts,
                std::span<double> out);

}  // namespace quillscore::eval
