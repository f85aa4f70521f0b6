#include "core/eval/operating_points.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/base/checked.h"
#include "core/eval/matched.h"
#include "core/pool/pool.h"

namespace quillscore::eval {
namespace {

// The counted detections of one category (or all), best score first, with
// whether each matched, and the number of counted ground truths.
struct Tally {
  std::vector<std::pair<double, uint8_t>> dets;  // (score, true positive)
  int64_t counted_gts = 0;
};

double ratio(int64_t num, int64_t den) {
  return den > 0 ? static_cast<double>(num) / static_cast<double>(den) : 0.0;
}

void add_row(OperatingPoints& out, int64_t cat, double score, int64_t tp, int64_t fp, int64_t fn) {
  const double p = ratio(tp, tp + fp), r = ratio(tp, tp + fn);
  out.category_id.push_back(cat);
  out.score.push_back(score);
  out.tp.push_back(tp);
  out.fp.push_back(fp);
  out.fn.push_back(fn);
  out.precision.push_back(p);
  out.recall.push_back(r);
  out.f1.push_back(p + r > 0 ? 2 * p * r / (p + r) : 0.0);
}

// Appends one category's rows and returns its best row.
BestF1 emit(const Tally& tally, int64_t cat, std::optional<std::span<const double>> thresholds,
            OperatingPoints& out) {
  const auto& d = tally.dets;
  const size_t first = out.score.size();
  if (thresholds) {
    std::vector<int64_t> tp_before(d.size() + 1, 0);  // true positives among the first i
    for (size_t i = 0; i < d.size(); ++i) tp_before[i + 1] = tp_before[i] + d[i].second;
    for (double s : *thresholds) {
      // Detections are sorted descending: those kept form a prefix.
      const auto end = std::partition_point(
          d.begin(), d.end(), [&](const std::pair<double, uint8_t>& x) { return x.first >= s; });
      const int64_t kept = end - d.begin(), tp = tp_before[static_cast<size_t>(kept)];
      add_row(out, cat, s, tp, kept - tp, tally.counted_gts - tp);
    }
  } else {
    int64_t tp = 0, kept = 0;
    for (size_t i = 0; i < d.size(); ++i) {
      tp += d[i].second;
      ++kept;
      if (i + 1 < d.size() && d[i + 1].first == d[i].first) continue;
      add_row(out, cat, d[i].first, tp, kept - tp, tally.counted_gts - tp);
    }
  }
  BestF1 best{cat, std::numeric_limits<double>::quiet_NaN(), 0, 0, 0};
  double best_score = -std::numeric_limits<double>::infinity();
  bool any = false;
  for (size_t i = first; i < out.score.size(); ++i) {
    const double f = out.f1[i], s = out.score[i];
    if (any && (f < best.f1 || (f == best.f1 && !(s > best_score)))) continue;
    any = true;
    best = {cat, s, out.precision[i], out.recall[i], f};
    best_score = s;
  }
  return best;
}

}  // namespace

OperatingPointsResult operating_points(EngineState& st, size_t t_idx, size_t a_idx,
                                       uint64_t max_det,
                                       std::optional<std::span<const double>> thresholds) {
  checked_index(t_idx, st.params.iou_thrs.size(), "IoU threshold");
  checked_index(a_idx, st.params.area_rng.size(), "area range");
  return operating_points(st.params, *matched_state(st), t_idx, a_idx, max_det, thresholds);
}

OperatingPointsResult operating_points(const EvalParams& p, const MatchedState& state,
                                       size_t t_idx, size_t a_idx, uint64_t max_det,
                                       std::optional<std::span<const double>> thresholds) {
  const size_t T = p.iou_thrs.size();
  checked_index(t_idx, T, "IoU threshold");
  checked_index(a_idx, p.area_rng.size(), "area range");
  const size_t row = a_idx * T + t_idx;
  auto per_slot = pool::parallel_map(state.slots.size(), [&](size_t k) {
    // The slot's ranking is already by descending score, NaN last.
    const SlotMatches& sm = state.slots[k];
    Tally t;
    for (size_t i = 0; i < sm.size(); ++i) {
      const Outcome o = sm.outcomes.get(row, i);
      if (sm.rank[i] >= max_det || o == Outcome::kIgnored || std::isnan(sm.scores[i])) continue;
      t.dets.emplace_back(sm.scores[i], o == Outcome::kTruePositive);
    }
    t.counted_gts = static_cast<int64_t>(sm.counted_in(a_idx, state.a_n));
    return t;
  });
  OperatingPointsResult res;
  Tally all;
  for (size_t k = 0; k < per_slot.size(); ++k) {
    const Tally& t = per_slot[k];
    all.dets.insert(all.dets.end(), t.dets.begin(), t.dets.end());
    all.counted_gts += t.counted_gts;
    if (p.use_cats) res.best.push_back(emit(t, p.cat_ids[k], thresholds, res.rows));
  }
  std::stable_sort(all.dets.begin(), all.dets.end(),
                   [](const auto& a, const auto& b) { return a.first > b.first; });
  res.best.push_back(emit(all, kAllCategories, thresholds, res.rows));
  return res;
}

}  // namespace quillscore::eval
