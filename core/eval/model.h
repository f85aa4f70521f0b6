// The engine's vocabulary: column-stored annotations, parameters, the state an
// evaluator owns and the arrays a run returns.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <limits>
#include <memory>
#include <string_view>
#include <variant>
#include <vector>

#include "core/eval/matched.h"
#include "core/group/group_index.h"
#include "core/rle/ops.h"
#include "core/rle/rle.h"

namespace quillscore::eval {

using group::kUnlisted;
using rle::Box;

// The strictest IoU threshold matching applies, 1 - 1e-10 (the same double):
// the protocol caps every threshold there, so that at a threshold of 1 a
// perfect match still counts. A NaN threshold acts as this too.
inline constexpr double kMaxIouThreshold = 0.9999999999;

// 2^-52, the gap between 1.0 and the next double. The protocol adds it to the
// denominators of precision and of the keypoint scale so that neither is 0.
inline constexpr double kSpacingOfOne = std::numeric_limits<double>::epsilon();

enum class IouType : uint8_t { kSegm = 0, kBbox = 1, kKeypoints = 2, kBoundary = 3 };

// Whether annotations of this type are compared as rasterised masks.
inline bool needs_masks(IouType t) { return t == IouType::kSegm || t == IouType::kBoundary; }

// Shapes of one side, one entry per annotation.
struct Boxes {
  std::vector<Box> boxes;
};
// Box rows owned elsewhere (a compact box store) and shared immutably: the
// pointer to the first row shares ownership of whatever holds them.
struct SharedBoxes {
  std::shared_ptr<const Box> rows;
  size_t count = 0;
};
// Each mask's bounding box and pixel count are kept beside it once the
// engine state is made: every similarity matrix over these masks needs them,
// and working them out walks every run. A mask's box is whole pixels, so it
// is kept in integers, at half the size.
struct MaskExtents {
  // A packed mask's box may be left as kBoxLater where no ground truth of
  // its group can meet it; a similarity that pairs it anyway (across
  // categories) reads the box off the text then. No mask has this box: its
  // width times its height would pass 2^32 pixels.
  static constexpr std::array<uint32_t, 4> kBoxLater = {0, 0, UINT32_MAX, UINT32_MAX};
  std::vector<std::array<uint32_t, 4>> boxes;
  std::vector<uint32_t> areas;
};
// Masks kept as COCO compressed counts text, decoded where a similarity
// needs them: a quarter of the memory of their runs. Mask i is height[i] x
// width[i] with counts bytes [begin[i], end[i]) of `text`, which shares
// ownership of whatever holds the bytes (the columns they were read into).
struct PackedMasks {
  std::shared_ptr<const char> text;
  std::vector<uint64_t> begin, end;
  std::vector<uint32_t> height, width;
  size_t size() const { return begin.size(); }
  std::string_view counts(size_t i) const { return {text.get() + begin[i], end[i] - begin[i]}; }
  rle::Rle decode(size_t i) const;
  rle::RunExtent extent(size_t i) const;  // that of decode(i), without building it
};
// Either `masks` holds every mask, or (for sets read from compressed text)
// `packed` does and `masks` is empty.
struct Masks {
  std::vector<rle::Rle> masks;
  PackedMasks packed = {};
  MaskExtents extents = {};
  size_t size() const { return packed.text ? packed.size() : masks.size(); }
};
struct BoundaryMasks {
  std::vector<rle::Rle> masks;
  std::vector<rle::Rle> bands;
  MaskExtents extents = {}, band_extents = {};
};
// 3 * count values (x, y, visibility) per annotation.
struct Keypoints {
  std::vector<double> values;
  uint32_t count = 0;
};
using Geometry = std::variant<Boxes, SharedBoxes, Masks, BoundaryMasks, Keypoints>;

struct AnnotationSet {
  std::vector<int64_t> ids;
  std::vector<double> scores;
  std::vector<double> areas;
  std::vector<uint8_t> iscrowd;
  std::vector<uint8_t> ignore;
  std::vector<uint8_t> unmatched_ignore;
  std::vector<Box> boxes;  // keypoint sets only
  std::vector<uint32_t> image_index;
  std::vector<uint32_t> category_index;
  Geometry geometry;

  size_t size() const { return ids.size(); }
};

struct EvalParams {
  std::vector<int64_t> img_ids;
  std::vector<int64_t> cat_ids;
  std::vector<double> iou_thrs;
  std::vector<double> rec_thrs;
  std::vector<uint64_t> max_dets;
  std::vector<std::array<double, 2>> area_rng;
  std::vector<double> kpt_sigmas;
  bool use_cats = true;
  bool use_area = true;
  IouType iou_type = IouType::kBbox;

  // Category slots: one per category, or one pooling them all.
  uint32_t slots() const { return use_cats ? static_cast<uint32_t>(cat_ids.size()) : 1; }
  // Detections kept per image: the last entry of max_dets.
  uint64_t cap() const { return max_dets.empty() ? 0 : max_dets.back(); }
};

// Nanosecond totals, added to from any worker.
struct Timings {
  std::atomic<uint64_t> group_index{0};
  std::atomic<uint64_t> iou_cpu{0};
  std::atomic<uint64_t> match_cpu{0};
  std::atomic<uint64_t> accumulate_cpu{0};
};

struct EngineState {
  EvalParams params;
  AnnotationSet gt;
  AnnotationSet dt;
  group::GroupIndex gt_index;
  group::GroupIndex dt_index;
  uint32_t slots = 0;
  Timings timings;
  MatchCache matched;
};

// Builds the group indexes (timed into group_index) and takes ownership of
// the parameters and both sets.
std::unique_ptr<EngineState> make_engine_state(EvalParams params, AnnotationSet gt,
                                               AnnotationSet dt);

// What run found for one image in one slot and area range.
struct EvalImageRecord {
  std::vector<int64_t> dt_ids;
  std::vector<int64_t> gt_ids;
  std::vector<double> dt_scores;
  std::vector<uint8_t> gt_ignore;
  std::vector<int64_t> dt_matches;  // [t][d]: ground-truth id, 0 when unmatched
  std::vector<int64_t> gt_matches;  // [t][g]: detection id, 0 when unmatched
  std::vector<uint8_t> dt_ignore;   // [t][d]
  int64_t image_id = 0;
  int64_t category_id = 0;
  uint64_t area_index = 0;
  uint64_t max_det = 0;
};

struct AccumulatedResult {
  std::vector<double> precision;  // [T][R][K][A][M]
  std::vector<double> recall;     // [T][K][A][M]
  std::vector<double> scores;     // [T][R][K][A][M]
  std::array<size_t, 5> dims{};   // T, R, K, A, M
  // (slot, area range, image) positions, null where nothing was evaluated.
  std::vector<std::unique_ptr<EvalImageRecord>> records;
};

struct DetectionVerdict {
  int64_t image_id;
  int64_t category_id;
  int64_t dt_id;
  double score;
  int64_t gt_id;  // -1 when unmatched
  double iou;     // 0 when unmatched
  uint8_t ignore;
};

struct GroundTruthVerdict {
  int64_t image_id;
  int64_t category_id;
  int64_t gt_id;
  uint8_t ignore;
  uint8_t matched;
};

struct Verdicts {
  std::vector<DetectionVerdict> detections;
  std::vector<GroundTruthVerdict> ground_truths;
};

}  // namespace quillscore::eval
