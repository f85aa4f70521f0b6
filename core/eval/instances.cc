#include "core/eval/instances.h"

#include <algorithm>
#include <limits>

#include "core/base/checked.h"
#include "core/base/error.h"
#include "core/eval/matching.h"
#include "core/eval/similarity.h"
#include "core/group/group_index.h"
#include "core/pool/pool.h"

namespace quillscore::eval {
namespace {

void append(InstanceSide& to, InstanceSide&& from) {
  auto join = [](auto& a, auto& b) { a.insert(a.end(), b.begin(), b.end()); };
  join(to.image_id, from.image_id);
  join(to.category_id, from.category_id);
  join(to.id, from.id);
  join(to.score, from.score);
  join(to.area, from.area);
  join(to.iscrowd, from.iscrowd);
  join(to.partner, from.partner);
  join(to.iou, from.iou);
  join(to.ignore, from.ignore);
  join(to.label, from.label);
}

// NaN where the set keeps no areas.
double area_of(const AnnotationSet& set, uint32_t row) {
  return row < set.areas.size() ? set.areas[row] : std::numeric_limits<double>::quiet_NaN();
}

uint8_t label_of(const std::vector<uint8_t>* labels, uint32_t row) {
  return labels != nullptr && row < labels->size() ? (*labels)[row] : kLabelNone;
}

InstanceTable slot_table(const EngineState& st, uint32_t k, std::span<const double> thrs,
                         size_t a_idx, uint64_t max_det, const ErrorLabels* labels) {
  const EvalParams& p = st.params;
  const size_t T = thrs.size();
  InstanceTable out;
  InstanceSide& D = out.detections;
  InstanceSide& G = out.ground_truths;
  const auto pairs = group::pair_groups(st.gt_index, st.dt_index, k);
  const auto sims = compute_similarity(st, pairs);
  const auto& range = checked_at(p.area_rng, a_idx, "area range");
  GroupEvaluation e;
  MatchScratch ms;
  const pool::CancelCheck check;
  const std::vector<uint8_t>* dt_labels = labels ? &labels->detections : nullptr;
  const std::vector<uint8_t>* gt_labels = labels ? &labels->ground_truths : nullptr;
  auto category = [&](const AnnotationSet& set, uint32_t row) -> int64_t {
    if (p.use_cats) return p.cat_ids[k];
    const uint32_t c = checked_at(set.category_index, row, "annotation");
    return c < p.cat_ids.size() ? p.cat_ids[c] : -1;
  };
  for (const GroupSimilarity& s : sims) {
    check();
    match_group(st, s, range, thrs, e, ms);
    if (!e.present) continue;
    const int64_t image = checked_at(p.img_ids, s.image, "image");
    const size_t nd = static_cast<size_t>(std::min<uint64_t>(e.d, max_det));
    const size_t g0 = G.size();
    for (size_t j = 0; j < e.g; ++j) {
      const uint32_t row = s.gts[e.gt_order[j]];
      G.image_id.push_back(image);
      G.category_id.push_back(category(st.gt, row));
      G.id.push_back(checked_at(st.gt.ids, row, "ground truth"));
      G.score.push_back(std::numeric_limits<double>::quiet_NaN());
      G.area.push_back(area_of(st.gt, row));
      G.iscrowd.push_back(checked_at(st.gt.iscrowd, row, "ground truth"));
      G.label.push_back(label_of(gt_labels, row));
      for (size_t t = 0; t < T; ++t) G.ignore.push_back(e.gt_ignore[j]);
    }
    G.partner.resize(G.size() * T, -1);
    G.iou.resize(G.size() * T, 0.0);
    for (size_t j = 0; j < nd; ++j) {
      const uint32_t row = s.ranked[j];
      const int64_t id = checked_at(st.dt.ids, row, "detection");
      D.image_id.push_back(image);
      D.category_id.push_back(category(st.dt, row));
      D.id.push_back(id);
      D.score.push_back(e.scores[j]);
      D.area.push_back(area_of(st.dt, row));
      D.iscrowd.push_back(0);
      D.label.push_back(label_of(dt_labels, row));
      for (size_t t = 0; t < T; ++t) {
        const int32_t m = e.matches[t * e.d + j];
        D.ignore.push_back(e.dt_ignore[t * e.d + j]);
        if (m < 0) {
          D.partner.push_back(-1);
          D.iou.push_back(0.0);
          continue;
        }
        const double iou = s.matrix[j * e.g + e.gt_order[m]];
        D.partner.push_back(checked_at(st.gt.ids, s.gts[e.gt_order[m]], "ground truth"));
        D.iou.push_back(iou);
        G.partner[(g0 + m) * T + t] = id;
        G.iou[(g0 + m) * T + t] = iou;
      }
    }
  }
  return out;
}

}  // namespace

InstanceTable instance_table(const EngineState& st, std::span<const uint32_t> t_idx, size_t a_idx,
                             uint64_t max_det, const ErrorLabels* labels) {
  const EvalParams& p = st.params;
  std::vector<double> thrs;
  for (uint32_t t : t_idx) thrs.push_back(p.iou_thrs[checked_index(t, p.iou_thrs.size(), "IoU threshold")]);
  checked_index(a_idx, p.area_rng.size(), "area range");
  max_det = std::min(max_det, p.cap());
  auto per_slot = pool::parallel_map(st.slots, [&](size_t k) {
    return slot_table(st, static_cast<uint32_t>(k), thrs, a_idx, max_det, labels);
  });
  InstanceTable out;
  out.thresholds = thrs.size();
  for (InstanceTable& t : per_slot) {
    append(out.detections, std::move(t.detections));
    append(out.ground_truths, std::move(t.ground_truths));
  }
  return out;
}

}  // namespace quillscore::eval
