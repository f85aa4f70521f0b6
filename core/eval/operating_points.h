// Counts, precision, recall and F1 at detection-score thresholds, read off
// the matching that accumulation uses at one IoU threshold, area range and
// detection cap. Nothing is interpolated.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/eval/model.h"

namespace quillscore::eval {

// The category id of the rows that pool every category.
inline constexpr int64_t kAllCategories = -1;

// One row per (category, threshold), columns side by side. A threshold s
// keeps the detections whose score is >= s; ignored detections and ignored
// ground truths count nowhere. Where a ratio has a zero denominator
// (nothing kept, no ground truth, precision + recall == 0) it is 0.
struct OperatingPoints {
  std::vector<int64_t> category_id;
  std::vector<double> score;
  std::vector<int64_t> tp, fp, fn;
  std::vector<double> precision, recall, f1;
};

// The row of highest F1 of one category (or of all, kAllCategories); ties
// go to the higher threshold. A category without rows has a NaN score and
// zeros elsewhere.
struct BestF1 {
  int64_t category_id = 0;
  double score = 0, precision = 0, recall = 0, f1 = 0;
};

struct OperatingPointsResult {
  OperatingPoints rows;
  std::vector<BestF1> best;  // one per category slot in order, then the pooled one
};

// Rows for each category slot in order, then the pooled rows. Without
// `thresholds` each category gets one row per distinct score of its counted
// detections and the pooled rows one per distinct score of all of them,
// descending; with them, every category and the pooled rows get one row per
// given threshold, in the order given. Without categories in use only the
// pooled rows are produced. Detections with a NaN score are never kept.
OperatingPointsResult operating_points(EngineState& st, size_t t_idx, size_t a_idx,
                                       uint64_t max_det,
                                       std::optional<std::span<const double>> thresholds);

// The same from a matched state with the parameters it was matched with.
OperatingPointsResult operating_points(const EvalParams& p, const MatchedState& state,
                                       size_t t_idx, size_t a_idx, uint64_t max_det,
                                       std::optional<std::span<const double>> thresholds);

}  // namespace quillscore::eval
