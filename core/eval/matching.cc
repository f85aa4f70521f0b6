#include "core/eval/matching.h"

#include <algorithm>
#include <cmath>

#include "core/base/checked.h"
#include "core/base/error.h"

namespace quillscore::eval {
namespace {

// Each ranked detection's ignore flag per threshold: its match's, or its
// own when it matched nothing.
void set_detection_ignore(const GroupSimilarity& s, const std::array<double, 2>& range, size_t t_n,
                          GroupEvaluation& out) {
  const size_t d_n = out.d;
  out.dt_ignore.resize(t_n * d_n);
  for (size_t d = 0; d < d_n; ++d) {
    const uint8_t own = unmatched_ignored(s, d, range);
    for (size_t t = 0; t < t_n; ++t) {
      const int32_t m = out.matches[t * d_n + d];
      out.dt_ignore[t * d_n + d] = m >= 0 ? out.gt_ignore[m] : own;
    }
  }
}

}  // namespace

void ground_truth_ignored(const GroupSimilarity& s, const std::array<double, 2>& range,
                          std::vector<uint8_t>& out) {
  out.resize(s.gts.size());
  for (size_t j = 0; j < out.size(); ++j) out[j] = outside(s.gt_areas[j], range) || s.gt_ignore[j] != 0;
}

void reuse_matching(const GroupSimilarity& s, const std::array<double, 2>& range,
                    const GroupEvaluation& from, GroupEvaluation& out) {
  out.present = from.present;
  out.d = from.d;
  out.g = from.g;
  out.scores.assign(from.scores.begin(), from.scores.end());
  out.matches.assign(from.matches.begin(), from.matches.end());
  out.gt_ignore.assign(from.gt_ignore.begin(), from.gt_ignore.end());
  out.gt_order.assign(from.gt_order.begin(), from.gt_order.end());
  if (!out.present) return;
  // The matches hold a row of d per threshold matched at.
  set_detection_ignore(s, range, out.d == 0 ? 0 : out.matches.size() / out.d, out);
}

void match_group(const EngineState& st, const GroupSimilarity& s, size_t a, GroupEvaluation& out,
                 MatchScratch& scratch) {
  match_group(st, s, checked_at(st.params.area_rng, a, "area range"), out, scratch);
}

void match_group(const EngineState& st, const GroupSimilarity& s, const std::array<double, 2>& range,
                 GroupEvaluation& out, MatchScratch& scratch) {
  match_group(st, s, range, st.params.iou_thrs, out, scratch);
}

void match_group(const EngineState&, const GroupSimilarity& s, const std::array<double, 2>& range,
                 std::span<const double> iou_thrs, GroupEvaluation& out, MatchScratch& scratch) {
  const size_t d_n = s.ranked.size(), g_n = s.gts.size(), t_n = iou_thrs.size();
  out.present = d_n > 0 || g_n > 0;
  if (!out.present) return;
  if (s.matrix.size() != (d_n && g_n ? d_n * g_n : 0) || s.dt_scores.size() != d_n ||
      s.dt_areas.size() != d_n || s.dt_unmatched_ignore.size() != d_n ||
      s.row_best.size() != d_n || s.gt_areas.size() != g_n || s.gt_ignore.size() != g_n ||
      s.gt_crowd.size() != g_n) {
    throw InternalError("similarity record does not match its group");
  }
  out.d = static_cast<uint32_t>(d_n);
  out.g = static_cast<uint32_t>(g_n);

  // Counted ground truths first, ignored ones after, each in group order.
  ground_truth_ignored(s, range, scratch.ignore);
  out.gt_order.clear();
  out.gt_ignore.clear();
  out.gt_order.reserve(g_n);
  out.gt_ignore.reserve(g_n);
  for (uint8_t pass = 0; pass < 2; ++pass) {
    for (size_t j = 0; j < g_n; ++j) {
      if (scratch.ignore[j] != pass) continue;
      out.gt_order.push_back(static_cast<uint32_t>(j));
      out.gt_ignore.push_back(pass);
    }
  }

  out.matches.assign(t_n * d_n, -1);
  if (d_n > 0 && g_n > 0) {
    scratch.matched.assign(t_n * g_n, 0);
    std::vector<uint8_t>& crowd = scratch.crowd;
    crowd.resize(g_n);
    for (size_t j = 0; j < g_n; ++j) crowd[j] = s.gt_crowd[out.gt_order[j]];
    for (size_t t = 0; t < t_n; ++t) {
      const double thr =
          std::isnan(iou_thrs[t]) ? kMaxIouThreshold : std::min(iou_thrs[t], kMaxIouThreshold);
      uint8_t* matched = scratch.matched.data() + t * g_n;
      for (size_t d = 0; d < d_n; ++d) {
        if (thr > s.row_best[d]) continue;  // below the threshold everywhere
        const double* row = s.matrix.data() + d * g_n;
        double best = thr;
        int64_t m = -1;
        for (size_t j = 0; j < g_n; ++j) {
          if (matched[j] && !crowd[j]) continue;
          // Holding a counted match, never trade it for an ignored one.
          if (m >= 0 && !out.gt_ignore[m] && out.gt_ignore[j]) break;
          const double v = row[out.gt_order[j]];
          if (best > v) continue;
          m = static_cast<int64_t>(j);
          best = v;
        }
        if (m >= 0) {
          out.matches[t * d_n + d] = static_cast<int32_t>(m);
          matched[m] = 1;
        }
      }
    }
  }

  out.scores.assign(s.dt_scores.begin(), s.dt_scores.end());
  set_detection_ignore(s, range, t_n, out);
}

}  // namespace quillscore::eval
