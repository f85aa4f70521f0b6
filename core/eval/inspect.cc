#include "core/eval/inspect.h"

#include <span>

#include "core/base/checked.h"
#include "core/pool/pool.h"

namespace quillscore::eval {
namespace {

// A repeated id stands for its last position, as the evaluator's lookup
// tables resolve it when reading annotations.
std::optional<uint32_t> last_position(const std::vector<int64_t>& ids, int64_t id) {
  for (size_t i = ids.size(); i-- > 0;) {
    if (ids[i] == id) return static_cast<uint32_t>(i);
  }
  return std::nullopt;
}

std::optional<uint32_t> slot_of(const EvalParams& p, int64_t category_id) {
  if (!p.use_cats) return 0;
  return last_position(p.cat_ids, category_id);
}

// The paired group of an (image id, category id) pair; neither side when
// the evaluation does not list them.
group::PairedGroup find_pair(const EngineState& st, int64_t image_id, int64_t category_id) {
  const auto image = last_position(st.params.img_ids, image_id);
  const auto slot = slot_of(st.params, category_id);
  if (!image || !slot) return {};
  return group::find_pair(st.gt_index, st.dt_index, *slot, *image);
}

}  // namespace

std::vector<std::vector<PairMatrix>> pair_matrices(const EngineState& st) {
  return pool::parallel_map(st.slots, [&](size_t k) {
    std::vector<group::PairedGroup> both;
    for (const auto& pg : group::pair_groups(st.gt_index, st.dt_index, static_cast<uint32_t>(k))) {
      if (pg.has_gt && pg.has_dt) both.push_back(pg);
    }
    auto sims = compute_similarity(st, both, /*exact=*/true);
    std::vector<PairMatrix> out;
    out.reserve(sims.size());
    for (const GroupSimilarity& s : sims) {
      if (s.ranked.empty()) continue;  // a cap of 0 keeps no detection
      out.push_back({s.image, static_cast<uint32_t>(s.ranked.size()),
                     static_cast<uint32_t>(s.gts.size()), {s.matrix.begin(), s.matrix.end()}});
    }
    return out;
  });
}

std::optional<PairMatrix> pair_matrix(const EngineState& st, int64_t image_id, int64_t category_id) {
  const group::PairedGroup pg = find_pair(st, image_id, category_id);
  if (!pg.has_gt || !pg.has_dt) return std::nullopt;
  auto sims = compute_similarity(st, std::span(&pg, 1), /*exact=*/true);
  const GroupSimilarity& s = sims[0];  // one record per pair
  if (s.ranked.empty()) return std::nullopt;
  return PairMatrix{pg.image, static_cast<uint32_t>(s.ranked.size()),
                    static_cast<uint32_t>(s.gts.size()), {s.matrix.begin(), s.matrix.end()}};
}

std::unique_ptr<EvalImageRecord> evaluate_image(const EngineState& st, int64_t image_id,
                                                int64_t category_id,
                                                const std::array<double, 2>& range,
                                                uint64_t max_det) {
  const group::PairedGroup pg = find_pair(st, image_id, category_id);
  if (!pg.has_gt && !pg.has_dt) return nullptr;
  auto sims = compute_similarity(st, std::span(&pg, 1));
  // Greedy matching takes detections in rank order, so the first max_det
  // detections match exactly as they do among all of them; only the ground
  // truths that later detections would have claimed stay free.
  const GroupSimilarity s = sims[0].first(max_det);  // one record per pair
  GroupEvaluation e;
  MatchScratch scratch;
  match_group(st, s, range, e, scratch);
  auto rec = make_record(st, s, e);
  rec->image_id = image_id;
  rec->category_id = category_id;
  rec->max_det = max_det;
  return rec;
}

std::unique_ptr<EvalImageRecord> make_record(const EngineState& st, const GroupSimilarity& s,
                                             const GroupEvaluation& e) {
  const size_t t_n = st.params.iou_thrs.size();
  auto rec = std::make_unique<EvalImageRecord>();
  for (uint32_t d : s.ranked) rec->dt_ids.push_back(checked_at(st.dt.ids, d, "detection"));
  for (uint32_t j : e.gt_order) {
    rec->gt_ids.push_back(checked_at(st.gt.ids, s.gts[j], "ground truth"));
  }
  rec->dt_scores = e.scores;
  rec->gt_ignore = e.gt_ignore;
  rec->dt_ignore = e.dt_ignore;
  rec->dt_matches.assign(t_n * e.d, 0);
  rec->gt_matches.assign(t_n * e.g, 0);
  for (size_t t = 0; t < t_n; ++t) {
    for (size_t d = 0; d < e.d; ++d) {
      const int32_t m = e.matches[t * e.d + d];
      if (m < 0) continue;
      rec->dt_matches[t * e.d + d] = rec->gt_ids[m];
      rec->gt_matches[t * e.g + m] = rec->dt_ids[d];
    }
  }
  return rec;
}

}  // namespace quillscore::eval
