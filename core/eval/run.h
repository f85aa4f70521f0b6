// The engine's operations on an evaluator's state.
#pragma once

#include <span>
#include <utility>
#include <vector>

#include "core/eval/model.h"
#include "core/eval/stream.h"

namespace quillscore::eval {

// Evaluates every category slot in parallel and accumulates precision,
// recall and scores; with `collect_records` also the per-image records.
AccumulatedResult run(EngineState& st, bool collect_records);

// Every slot's matching in the streamed layout (stream.h), made without the
// matched state and without keeping one.
std::vector<StreamSlot> streamed_matching(EngineState& st);

// Precision, recall and scores of a matched state (one slot per category
// place) at `p`'s recall thresholds and detection limits; the state's IoU
// thresholds and area ranges must be `p`'s. Time spent goes to `timings`
// where given.
AccumulatedResult accumulate(const EvalParams& p, const MatchedState& state,
                             Timings* timings = nullptr);

// The precision array [G][T][R][K][A][M] of each group of images, from one
// matching pass: image_group[i] (below `groups`) is the group of the image at
// position i of params.img_ids. Each group's entries are those run() gives
// for an evaluation of that group's images alone (-1 where a group has no
// ground truth that counts). Throws InputError when the groups do not fit.
std::vector<double> group_precision(EngineState& st, std::span<const uint32_t> image_group,
                                    uint32_t groups);

// Per-detection and per-ground-truth rows at one threshold, area range and
// detection cap.
Verdicts per_instance(const EngineState& st, size_t t_idx, size_t a_idx, uint64_t max_det);

// The same rows for category slot `k` alone.
Verdicts slot_verdicts(const EngineState& st, uint32_t k, size_t t_idx, size_t a_idx,
                       uint64_t max_det);

// Federated evaluation: replaces the ground truths' ignore flags, clears
// their crowd flags and marks detections of non-exhaustive (image id,
// category id) pairs so that they are ignored when unmatched. Throws
// InputError, changing nothing, when the flags do not fit the ground truth.
void configure_lvis(EngineState& st, std::span<const uint8_t> gt_ignore,
                    std::span<const std::pair<int64_t, int64_t>> non_exhaustive);

}  // namespace quillscore::eval
