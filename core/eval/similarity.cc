#include "core/eval/similarity.h"

#include <algorithm>
#include <cmath>

#include "core/base/error.h"
#include "core/eval/keypoints.h"
#include "core/pool/pool.h"
#include "core/rle/iou.h"

namespace quillscore::eval {
namespace {

constexpr double kMaxThreshold = 0.9999999999;

template <class T>
const T& at(const std::vector<T>& v, size_t i) {
  if (i >= v.size()) throw InternalError("annotation index out of bounds");
  return v[i];
}

const Box& box_of(const Geometry& g, uint32_t i) {
  if (const auto* b = std::get_if<Boxes>(&g)) return at(b->boxes, i);
  const auto& s = std::get<SharedBoxes>(g);
  if (!s.rows || i >= s.count) throw InternalError("annotation index out of bounds");
  return s.rows.get()[i];
}

bool box_like(const Geometry& g) {
  return std::holds_alternative<Boxes>(g) || std::holds_alternative<SharedBoxes>(g);
}

[[noreturn]] void kinds_disagree() {
  throw InternalError("ground truth and detection geometry kinds disagree");
}

// Mask IoU of ranked detections against ground truths, columns by crowd rule.
void mask_matrix(const std::vector<rle::Rle>& dmasks, const std::vector<rle::Rle>& gmasks,
                 std::span<const uint32_t> ranked, std::span<const uint32_t> gts,
                 std::span<const uint8_t> crowd, double theta, std::span<double> out) {
  std::vector<const rle::Rle*> dp, gp;
  dp.reserve(ranked.size());
  gp.reserve(gts.size());
  for (uint32_t d : ranked) dp.push_back(&at(dmasks, d));
  for (uint32_t g : gts) gp.push_back(&at(gmasks, g));
  rle::rle_iou(dp, gp, crowd, theta, out);
}

void fill_matrix(const EngineState& st, GroupSimilarity& s, bool exact) {
  const AnnotationSet& gt = st.gt;
  const AnnotationSet& dt = st.dt;
  const size_t d_n = s.ranked.size(), g_n = s.gts.size();
  s.matrix.assign(d_n * g_n, 0.0);
  std::vector<uint8_t> crowd(g_n);
  for (size_t j = 0; j < g_n; ++j) crowd[j] = at(gt.iscrowd, s.gts[j]);

  if (box_like(gt.geometry)) {
    if (!box_like(dt.geometry)) kinds_disagree();
    std::vector<Box> db(d_n), gb(g_n);
    for (size_t i = 0; i < d_n; ++i) db[i] = box_of(dt.geometry, s.ranked[i]);
    for (size_t j = 0; j < g_n; ++j) gb[j] = box_of(gt.geometry, s.gts[j]);
    rle::box_iou(db, gb, crowd, s.matrix);
    return;
  }
  const double theta = exact ? 0.0 : pruning_threshold(st.params.iou_thrs);
  if (const auto* gm = std::get_if<Masks>(&gt.geometry)) {
    const auto* dm = std::get_if<Masks>(&dt.geometry);
    if (!dm) kinds_disagree();
    mask_matrix(dm->masks, gm->masks, s.ranked, s.gts, crowd, theta, s.matrix);
    return;
  }
  if (const auto* gm = std::get_if<BoundaryMasks>(&gt.geometry)) {
    const auto* dm = std::get_if<BoundaryMasks>(&dt.geometry);
    if (!dm) kinds_disagree();
    mask_matrix(dm->masks, gm->masks, s.ranked, s.gts, crowd, theta, s.matrix);
    std::vector<double> bands(d_n * g_n, 0.0);
    mask_matrix(dm->bands, gm->bands, s.ranked, s.gts, crowd, theta, bands);
    // Boundary IoU is the lesser of mask and band IoU; crowd regions are
    // judged by their mask alone.
    for (size_t j = 0; j < g_n; ++j) {
      if (crowd[j]) continue;
      for (size_t i = 0; i < d_n; ++i) {
        double& e = s.matrix[i * g_n + j];
        e = std::min(e, bands[i * g_n + j]);
      }
    }
    return;
  }
  const auto* gk = std::get_if<Keypoints>(&gt.geometry);
  const auto* dk = std::get_if<Keypoints>(&dt.geometry);
  if (!gk || !dk) kinds_disagree();
  oks_matrix(st, *dk, *gk, s.ranked, s.gts, s.matrix);
}

}  // namespace

double pruning_threshold(std::span<const double> iou_thrs) {
  double theta = kMaxThreshold;
  bool any = false;
  for (double t : iou_thrs) {
    if (std::isnan(t)) continue;
    theta = any ? std::min(theta, t) : t;
    any = true;
  }
  return any ? std::clamp(theta, 0.0, kMaxThreshold) : kMaxThreshold;
}

void rank_by_score(std::vector<uint32_t>& idx, std::span<const double> scores) {
  for (uint32_t i : idx) {
    if (i >= scores.size()) throw InternalError("annotation index out of bounds");
  }
  std::stable_sort(idx.begin(), idx.end(), [&](uint32_t a, uint32_t b) {
    const double sa = scores[a], sb = scores[b];
    return !std::isnan(sa) && (std::isnan(sb) || sa > sb);
  });
}

std::vector<GroupSimilarity> compute_similarity(const EngineState& st,
                                                std::span<const group::PairedGroup> pairs,
                                                bool exact) {
  const uint64_t cap = st.params.cap();
  return pool::parallel_map(pairs.size(), [&](size_t p) {
    const group::PairedGroup& pg = pairs[p];
    GroupSimilarity s;
    s.image = pg.image;
    if (pg.has_gt) s.gts = st.gt_index.members(pg.gt);
    if (pg.has_dt) {
      auto members = st.dt_index.members(pg.dt);
      s.ranked.assign(members.begin(), members.end());
      rank_by_score(s.ranked, st.dt.scores);
      if (s.ranked.size() > cap) s.ranked.resize(static_cast<size_t>(cap));
    }
    for (uint32_t d : s.ranked) {
      s.dt_scores.push_back(at(st.dt.scores, d));
      s.dt_areas.push_back(at(st.dt.areas, d));
      s.dt_unmatched_ignore.push_back(at(st.dt.unmatched_ignore, d));
    }
    for (uint32_t g : s.gts) {
      s.gt_areas.push_back(at(st.gt.areas, g));
      s.gt_ignore.push_back(at(st.gt.ignore, g));
      s.gt_crowd.push_back(at(st.gt.iscrowd, g));
    }
    if (!s.ranked.empty() && !s.gts.empty()) fill_matrix(st, s, exact);
    return s;
  });
}

}  // namespace quillscore::eval
