// Which classes a detector confuses: detections matched to ground truths of
// any class, image by image.
#pragma once

#include <cstdint>
#include <vector>

#include "core/eval/model.h"

namespace quillscore::eval {

// A (K+1) x (K+1) table, row-major, rows ground-truth classes and columns
// predicted classes in category-slot order, background last.
struct ConfusionMatrix {
  size_t size = 0;  // K + 1
  std::vector<int64_t> counts;
};

// The detections kept are those evaluation ranks within its cap in each
// (image, category) group, the first `max_det` of them (never more than
// the cap), whose score is >= `score_thr`. In each image every pair of a kept
// detection and a ground truth that is neither crowd nor ignored, of any
// categories, with similarity >= `iou_thr` (capped as matching caps it) is a
// candidate; candidates are taken greedily by descending similarity, then
// descending score, then earlier detection, then earlier ground truth (both
// in input order), each detection and ground truth at most once. A pair
// counts at (ground-truth class, detected class); a ground truth left over
// at (class, background), a detection left over at (background, class).
// Crowd and ignored ground truths count nowhere. Needs categories in use.
ConfusionMatrix confusion_matrix(const EngineState& st, double iou_thr, double score_thr,
                                 uint64_t max_det);

}  // namespace quillscore::eval
