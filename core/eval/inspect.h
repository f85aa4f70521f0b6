// An evaluation looked into pair by pair: the similarity matrices that
// matching reads, and one image's record at any area range and detection
// limit.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "core/eval/matching.h"
#include "core/eval/model.h"
#include "core/eval/similarity.h"

namespace quillscore::eval {

// The similarity of one image's ranked, capped detections (rows) to its
// ground truths in group order (columns), within one category slot.
struct PairMatrix {
  uint32_t image = 0;  // position in params.img_ids
  uint32_t rows = 0, cols = 0;
  std::vector<double> values;  // row per detection
};

// Per slot, the matrix of every image that holds both ground truths and
// detections there, ascending by image. Every entry is the exact
// similarity, including those too small for any threshold.
std::vector<std::vector<PairMatrix>> pair_matrices(const EngineState& st);

// The matrix of one (image id, category id) pair; nullopt where the pair
// lacks ground truths or detections, or names an image or a category the
// evaluation does not list. Without categories in use, every category id
// names the one pooled slot.
std::optional<PairMatrix> pair_matrix(const EngineState& st, int64_t image_id, int64_t category_id);

// The record of one pair matched within `range` with its first `max_det`
// ranked detections (never more than the evaluation's cap); null where the
// pair holds nothing. The record carries the ids and max_det asked for.
std::unique_ptr<EvalImageRecord> evaluate_image(const EngineState& st, int64_t image_id,
                                                int64_t category_id,
                                                const std::array<double, 2>& range,
                                                uint64_t max_det);

// The ids, scores, matches and ignore flags of one matched group; the
// caller fills in where and how it was evaluated.
std::unique_ptr<EvalImageRecord> make_record(const EngineState& st, const GroupSimilarity& s,
                                             const GroupEvaluation& e);

}  // namespace quillscore::eval
