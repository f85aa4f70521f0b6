// Greedy matching of one image's ranked detections to its ground truths,
// per IoU threshold, within one area range.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/eval/model.h"
#include "core/eval/similarity.h"

namespace quillscore::eval {

struct GroupEvaluation {
  bool present = false;
  uint32_t d = 0, g = 0;
  std::vector<double> scores;       // D, rank order
  std::vector<int32_t> matches;     // [t][d]: sorted ground-truth position or -1
  std::vector<uint8_t> dt_ignore;   // [t][d]
  std::vector<uint8_t> gt_ignore;   // G, sorted order
  std::vector<uint32_t> gt_order;   // G positions into the group's ground truths, counted first
};

// Per-worker scratch reused across groups.
struct MatchScratch {
  std::vector<uint8_t> matched;     // [t][sorted position]
  std::vector<uint8_t> ignore;      // group order
  std::vector<uint8_t> crowd;       // sorted order
};

// Whether each of a group's ground truths (in group order) is ignored within
// `range`: outside it, or ignored for what it is.
void ground_truth_ignored(const GroupSimilarity& s, const std::array<double, 2>& range,
                          std::vector<uint8_t>& out);

// Whether an area lies outside an area range.
inline bool outside(double area, const std::array<double, 2>& range) {
  return area < range[0] || area > range[1];
}

// Whether ranked detection d of a group is ignored within `range` when it
// matches nothing.
inline bool unmatched_ignored(const GroupSimilarity& s, size_t d, const std::array<double, 2>& range) {
  return outside(s.dt_areas[d], range) || s.dt_unmatched_ignore[d] != 0;
}

// `from`, the group's matching in another area range whose ground truths
// are ignored alike (ground_truth_ignored gives the same flags), as the
// matching in `range`: the same matches, the unmatched detections ignored as
// `range` has them.
void reuse_matching(const GroupSimilarity& s, const std::array<double, 2>& range,
                    const GroupEvaluation& from, GroupEvaluation& out);

// Matches one group for area range `a`, reusing `out`'s storage.
void match_group(const EngineState& st, const GroupSimilarity& s, size_t a, GroupEvaluation& out,
                 MatchScratch& scratch);

// The same within an area range that need not be among the parameters'.
void match_group(const EngineState& st, const GroupSimilarity& s, const std::array<double, 2>& range,
                 GroupEvaluation& out, MatchScratch& scratch);

// The same at the IoU thresholds `iou_thrs` instead of the parameters': a
// reader of one threshold matches at that one alone.
void match_group(const EngineState& st, const GroupSimilarity& s, const std::array<double, 2>& range,
                 std::span<const double> iou_thrs, GroupEvaluation& out, MatchScratch& scratch);

}  // namespace quillscore::eval
