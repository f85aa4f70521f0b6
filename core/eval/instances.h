// Every kept detection and every ground truth of an evaluation, one row each,
// with the partner matching gave it and their IoU at a few IoU thresholds:
// the table a report lists and exports.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/eval/error_breakdown.h"
#include "core/eval/model.h"

namespace quillscore::eval {

// Column-wise; the per-threshold columns hold `thresholds` entries per row.
// Rows come slot by slot in params.cat_ids order, then image by image in
// params.img_ids order; within an image, detections by rank and ground truths
// counted first, as matching orders them.
struct InstanceSide {
  std::vector<int64_t> image_id, category_id, id;
  std::vector<double> score;     // detections; NaN for ground truths
  std::vector<double> area;
  std::vector<uint8_t> iscrowd;  // ground truths; 0 for detections
  std::vector<int64_t> partner;  // [row][threshold]: the matched id, -1 when none
  std::vector<double> iou;       // [row][threshold]: the similarity to it, 0 when none
  std::vector<uint8_t> ignore;   // [row][threshold]
  std::vector<uint8_t> label;    // ErrorLabels' entry of the row, kLabelNone without labels

  size_t size() const { return id.size(); }
};

struct InstanceTable {
  size_t thresholds = 0;
  InstanceSide detections, ground_truths;
};

// The table at the evaluation's IoU thresholds of index `t_idx` (any order),
// area range `a_idx` and the first `max_det` ranked detections of each image
// and category (never more than the evaluation keeps). `labels`, where given,
// fills the label columns. Throws InputError for an index out of range.
InstanceTable instance_table(const EngineState& st, std::span<const uint32_t> t_idx, size_t a_idx,
                             uint64_t max_det, const ErrorLabels* labels = nullptr);

}  // namespace quillscore::eval
