// Ranked, capped detections of each image and their similarity to the
// image's ground truths.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "core/eval/model.h"

namespace quillscore::eval {

// One group's ranked detections, ground truths and similarity, as views into
// the buffers of the Similarities that made it.
struct GroupSimilarity {
  std::span<const uint32_t> ranked;  // detection indexes, best score first, capped
  std::span<const uint32_t> gts;     // ground-truth indexes in group order
  std::span<const double> matrix;    // ranked.size() x gts.size(), row per detection
  // Per ranked detection, the largest entry of its row (+inf where the row
  // holds a NaN, which matching takes at any threshold): a detection no
  // threshold can match is passed over without reading its row.
  std::span<const double> row_best;
  uint32_t image = 0;
  // The columns matching reads for every area range, copied next to each
  // other so that matching does not chase indexes into the whole sets.
  std::span<const double> dt_scores, dt_areas, gt_areas;
  std::span<const uint8_t> dt_unmatched_ignore, gt_ignore, gt_crowd;

  // The same group as if its image had had only its first n ranked
  // detections.
  GroupSimilarity first(uint64_t n) const;
};

// The records of a run of paired groups and the storage they view: one
// allocation for all groups' columns rather than several per group, of which
// a large evaluation has millions. Moving keeps the views valid.
class Similarities {
 public:
  Similarities() = default;
  Similarities(Similarities&&) = default;
  Similarities& operator=(Similarities&&) = default;
  Similarities(const Similarities&) = delete;
  Similarities& operator=(const Similarities&) = delete;

  size_t size() const { return groups_.size(); }
  const GroupSimilarity& operator[](size_t i) const { return groups_[i]; }
  auto begin() const { return groups_.cbegin(); }
  auto end() const { return groups_.cend(); }

 private:
  friend Similarities compute_similarity(const EngineState&, std::span<const group::PairedGroup>,
                                         bool);
  std::vector<GroupSimilarity> groups_;
  std::unique_ptr<std::byte[]> storage_;  // every group's columns, column by column
};

// Groups per chunk of a parallel loop over one slot's groups. A slot of a
// small evaluation (a streamed batch of a few dozen images) holds a few
// groups, and scheduling each on the pool costs more than matching it; the
// slots themselves are spread over the pool already.
inline constexpr size_t kGroupsPerChunk = 16;

// The pruning threshold handed to mask IoU: the smallest IoU threshold that
// is a number, clamped into [0, kMaxIouThreshold].
double pruning_threshold(std::span<const double> iou_thrs);

// One record per paired group, in paired-group order, computed in parallel.
// Mask IoU below the smallest IoU threshold, which no threshold can match,
// may be reported as 0 unless `exact` asks for every value as it is.
Similarities compute_similarity(const EngineState& state, std::span<const group::PairedGroup> pairs,
                                bool exact = false);

// The similarity of detections `dts` (rows) to ground truths `gts`
// (columns), any categories, into `out` (dts.size() x gts.size()). Mask IoU
// provably below `floor` may be reported as 0.
void similarity_matrix(const EngineState& state, std::span<const uint32_t> dts,
                       std::span<const uint32_t> gts, double floor, std::span<double> out);

// The same pair by pair, for a reader that needs pairs at different floors:
// mask IoU is worked out as pairs are asked for, each mask's run list built
// once; every other kind up front.
class PairSimilarity {
 public:
  PairSimilarity(const EngineState& state, std::span<const uint32_t> dts,
                 std::span<const uint32_t> gts);
  ~PairSimilarity();
  PairSimilarity(const PairSimilarity&) = delete;
  PairSimilarity& operator=(const PairSimilarity&) = delete;

  // Entry (d, g) of similarity_matrix with this floor.
  double operator()(size_t d, size_t g, double floor);

 private:
  struct MaskSides;
  size_t cols_ = 0;
  std::vector<double> matrix_;  // kinds other than masks
  std::vector<uint8_t> crowd_;
  std::unique_ptr<MaskSides> masks_;
};

// Sorts annotation indexes by score, highest first, NaN after every number;
// ties keep their order.
void rank_by_score(std::span<uint32_t> idx, std::span<const double> scores);

}  // namespace quillscore::eval
