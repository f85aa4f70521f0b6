// A mergeable record of matching over any set of images: what accumulation
// needs of each image (its ranked detections' scores, ranks and outcomes at
// every IoU threshold and area range, its ground truths that count), and
// nothing of the geometry. States over disjoint images merge in any order,
// and accumulating the union gives exactly what one evaluation of all the
// images gives: accumulation restores the evaluation's image order (by id)
// and its ranking.
#pragma once

#include <cstdint>
#include <span>
#include <unordered_set>
#include <vector>

#include "core/eval/matched.h"
#include "core/eval/model.h"

namespace quillscore::eval {

// One category slot. Unlike SlotMatches, detections are kept in the order
// they came, each with its outcomes side by side (outcome_bytes per
// detection), so that merging appends; and only images with ground truths
// that count are listed with their counts, since no other image adds to
// them.
struct StreamSlot {
  std::vector<uint32_t> counted_images;  // index into StreamState::image_ids
  std::vector<uint32_t> counted;         // [i * A + a]
  std::vector<double> scores;
  std::vector<uint32_t> image;           // index into StreamState::image_ids
  std::vector<uint32_t> rank;
  std::vector<uint8_t> outcomes;  // 2 bits per (a, t), row a * T + t, per detection
};

struct StreamState {
  EvalParams params;  // img_ids unused: the images are image_ids
  double boundary_dilation = 0;
  std::vector<int64_t> image_ids;  // every image added, in the order added
  std::unordered_set<int64_t> held;  // the same, to look up
  std::vector<StreamSlot> slots;

  size_t outcome_bytes() const { return (params.iou_thrs.size() * params.area_rng.size() + 3) / 4; }
  size_t detections() const;
  // Bytes held per kept detection, all columns together.
  static constexpr size_t kFixedBytes = sizeof(double) + 2 * sizeof(uint32_t);
};

// The evaluator's images (params.img_ids) and its matching.
StreamState stream_of(EngineState& st, double boundary_dilation);

// Appends `from`, whose images must be new to `into` and whose settings must
// be `into`'s. Throws InputError, changing neither, when they are not.
void merge_into(StreamState& into, const StreamState& from);

// The state in accumulation's order, images by ascending id, as run()
// accumulates it.
MatchedState ranked(const StreamState& s);

// The bytes of a state and back: versioned and checksummed; from_bytes
// throws InputError naming what is wrong with bytes that are not a state.
std::vector<uint8_t> to_bytes(const StreamState& s);
StreamState from_bytes(std::span<const uint8_t> bytes);

}  // namespace quillscore::eval
