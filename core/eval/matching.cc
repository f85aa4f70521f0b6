#include "core/eval/matching.h"

#include <algorithm>
#include <cmath>

#include "core/base/error.h"

namespace quillscore::eval {
namespace {

constexpr double kMaxThreshold = 0.9999999999;

bool outside(double area, const std::array<double, 2>& range) {
  return area < range[0] || area > range[1];
}

}  // namespace

void match_group(const EngineState& st, const GroupSimilarity& s, size_t a, GroupEvaluation& out,
                 MatchScratch& scratch) {
  const EvalParams& p = st.params;
  const size_t d_n = s.ranked.size(), g_n = s.gts.size(), t_n = p.iou_thrs.size();
  out.present = d_n > 0 || g_n > 0;
  if (!out.present) return;
  if (a >= p.area_rng.size()) throw InternalError("area range index out of bounds");
  if (s.matrix.size() != (d_n && g_n ? d_n * g_n : 0)) throw InternalError("similarity matrix size");
  const auto& range = p.area_rng[a];
  const AnnotationSet& gt = st.gt;
  const AnnotationSet& dt = st.dt;
  auto gcol = [&](const std::vector<uint8_t>& c, uint32_t i) {
    if (i >= c.size()) throw InternalError("annotation index out of bounds");
    return c[i];
  };
  auto area_of = [](const AnnotationSet& set, uint32_t i) {
    if (i >= set.areas.size()) throw InternalError("annotation index out of bounds");
    return set.areas[i];
  };

  out.d = static_cast<uint32_t>(d_n);
  out.g = static_cast<uint32_t>(g_n);

  // Counted ground truths first, ignored ones after, each in group order.
  scratch.ignore.resize(g_n);
  for (size_t j = 0; j < g_n; ++j) {
    const uint32_t g = s.gts[j];
    scratch.ignore[j] = outside(area_of(gt, g), range) || gcol(gt.ignore, g) != 0;
  }
  out.gt_order.clear();
  out.gt_ignore.clear();
  for (int pass = 0; pass < 2; ++pass) {
    for (size_t j = 0; j < g_n; ++j) {
      if (scratch.ignore[j] != pass) continue;
      out.gt_order.push_back(static_cast<uint32_t>(j));
      out.gt_ignore.push_back(static_cast<uint8_t>(pass));
    }
  }

  out.matches.assign(t_n * d_n, -1);
  out.dt_ignore.assign(t_n * d_n, 0);
  scratch.matched.assign(t_n * g_n, 0);
  if (d_n > 0 && g_n > 0) {
    // Crowd flags in sorted order, read once per group.
    std::vector<uint8_t>& crowd = scratch.crowd;
    crowd.resize(g_n);
    for (size_t j = 0; j < g_n; ++j) crowd[j] = gcol(gt.iscrowd, s.gts[out.gt_order[j]]);
    for (size_t t = 0; t < t_n; ++t) {
      const double thr = std::isnan(p.iou_thrs[t]) ? kMaxThreshold : std::min(p.iou_thrs[t], kMaxThreshold);
      uint8_t* matched = scratch.matched.data() + t * g_n;
      for (size_t d = 0; d < d_n; ++d) {
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

  out.scores.resize(d_n);
  for (size_t d = 0; d < d_n; ++d) {
    const uint32_t det = s.ranked[d];
    if (det >= dt.scores.size()) throw InternalError("annotation index out of bounds");
    out.scores[d] = dt.scores[det];
    const bool out_of_range = outside(area_of(dt, det), range);
    const uint8_t unmatched_ignore = out_of_range || gcol(dt.unmatched_ignore, det) != 0;
    for (size_t t = 0; t < t_n; ++t) {
      const int32_t m = out.matches[t * d_n + d];
      out.dt_ignore[t * d_n + d] = m >= 0 ? out.gt_ignore[m] : unmatched_ignore;
    }
  }
}

}  // namespace quillscore::eval
