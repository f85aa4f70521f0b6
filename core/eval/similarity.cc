#include "core/eval/similarity.h"

#include <algorithm>
#include <cmath>

#include "core/base/checked.h"
#include "core/base/error.h"
#include "core/eval/keypoints.h"
#include "core/pool/pool.h"
#include "core/rle/iou.h"

namespace quillscore::eval {
namespace {

// What a position into an annotation set's columns is called in a fault.
constexpr const char* kAnnotation = "annotation";

const Box& box_of(const Geometry& g, uint32_t i) {
  if (const auto* b = std::get_if<Boxes>(&g)) return checked_at(b->boxes, i, kAnnotation);
  const auto& s = std::get<SharedBoxes>(g);
  return s.rows.get()[checked_index(i, s.rows ? s.count : 0, kAnnotation)];
}

bool box_like(const Geometry& g) {
  return std::holds_alternative<Boxes>(g) || std::holds_alternative<SharedBoxes>(g);
}

[[noreturn]] void kinds_disagree() {
  throw InternalError("ground truth and detection geometry kinds disagree");
}

// The facts of the masks at `idx`, where the state keeps them for all.
struct PickedFacts {
  std::vector<Box> boxes;
  std::vector<uint32_t> areas;
  PickedFacts(const MaskExtents& all, size_t masks, std::span<const uint32_t> idx) {
    if (all.boxes.size() != masks || all.areas.size() != masks) return;
    for (uint32_t i : idx) {
      const auto& b = checked_at(all.boxes, i, kAnnotation);
      boxes.push_back({static_cast<double>(b[0]), static_cast<double>(b[1]), static_cast<double>(b[2]),
                       static_cast<double>(b[3])});
      areas.push_back(checked_at(all.areas, i, kAnnotation));
    }
  }
  rle::MaskFacts view() const { return {boxes, areas}; }
};

// The masks of detections `ranked` and ground truths `gts` as the mask IoU
// functions take them; packed ones are decoded here, for as long as these
// pairs are looked at.
struct MaskPairs {
  std::vector<rle::Rle> decoded;
  std::vector<const rle::Rle*> dt, gt;
  PickedFacts dt_facts, gt_facts;
  MaskPairs(const std::vector<rle::Rle>& dmasks, const PackedMasks* dpacked, const MaskExtents& dext,
            const std::vector<rle::Rle>& gmasks, const PackedMasks* gpacked, const MaskExtents& gext,
            std::span<const uint32_t> ranked, std::span<const uint32_t> gts)
      : dt_facts(dext, dpacked ? dpacked->size() : dmasks.size(), ranked),
        gt_facts(gext, gpacked ? gpacked->size() : gmasks.size(), gts) {
    // Room for every decoded mask up front: the pointers into it must stay.
    decoded.reserve((dpacked ? ranked.size() : 0) + (gpacked ? gts.size() : 0));
    pick(dmasks, dpacked, ranked, dt);
    pick(gmasks, gpacked, gts, gt);
  }
  MaskPairs(const Masks& d, const Masks& g, std::span<const uint32_t> ranked,
            std::span<const uint32_t> gts)
      : MaskPairs(d.masks, d.packed.text ? &d.packed : nullptr, d.extents, g.masks,
                  g.packed.text ? &g.packed : nullptr, g.extents, ranked, gts) {}
  std::unique_ptr<rle::PairIou> pairs(std::span<const uint8_t> crowd) const {
    return std::make_unique<rle::PairIou>(dt, gt, crowd, dt_facts.view(), gt_facts.view());
  }

 private:
  void pick(const std::vector<rle::Rle>& masks, const PackedMasks* packed, std::span<const uint32_t> idx,
            std::vector<const rle::Rle*>& out) {
    out.reserve(idx.size());
    for (uint32_t i : idx) {
      if (packed) {
        decoded.push_back(packed->decode(checked_index(i, packed->size(), kAnnotation)));
        out.push_back(&decoded.back());
      } else {
        out.push_back(&checked_at(masks, i, kAnnotation));
      }
    }
  }
};

// Mask IoU of ranked detections against ground truths, columns by crowd rule.
void mask_matrix(const MaskPairs& m, std::span<const uint8_t> crowd, double theta,
                 std::span<double> out) {
  rle::rle_iou(m.dt, m.gt, crowd, theta, out, m.dt_facts.view(), m.gt_facts.view());
}

void fill_matrix(const EngineState& st, GroupSimilarity& s, bool exact) {
  s.matrix.assign(s.ranked.size() * s.gts.size(), 0.0);
  similarity_matrix(st, s.ranked, s.gts, exact ? 0.0 : pruning_threshold(st.params.iou_thrs),
                    s.matrix);
}

}  // namespace

void similarity_matrix(const EngineState& st, std::span<const uint32_t> ranked,
                       std::span<const uint32_t> gts, double floor, std::span<double> matrix) {
  const AnnotationSet& gt = st.gt;
  const AnnotationSet& dt = st.dt;
  const size_t d_n = ranked.size(), g_n = gts.size();
  if (matrix.size() != d_n * g_n) throw InternalError("similarity matrix size");
  std::fill(matrix.begin(), matrix.end(), 0.0);
  if (d_n == 0 || g_n == 0) return;
  std::vector<uint8_t> crowd(g_n);
  for (size_t j = 0; j < g_n; ++j) crowd[j] = checked_at(gt.iscrowd, gts[j], kAnnotation);

  if (box_like(gt.geometry)) {
    if (!box_like(dt.geometry)) kinds_disagree();
    std::vector<Box> db(d_n), gb(g_n);
    for (size_t i = 0; i < d_n; ++i) db[i] = box_of(dt.geometry, ranked[i]);
    for (size_t j = 0; j < g_n; ++j) gb[j] = box_of(gt.geometry, gts[j]);
    rle::box_iou(db, gb, crowd, matrix);
    return;
  }
  const double theta = floor;
  if (const auto* gm = std::get_if<Masks>(&gt.geometry)) {
    const auto* dm = std::get_if<Masks>(&dt.geometry);
    if (!dm) kinds_disagree();
    mask_matrix(MaskPairs(*dm, *gm, ranked, gts), crowd, theta, matrix);
    return;
  }
  if (const auto* gm = std::get_if<BoundaryMasks>(&gt.geometry)) {
    const auto* dm = std::get_if<BoundaryMasks>(&dt.geometry);
    if (!dm) kinds_disagree();
    mask_matrix(MaskPairs(dm->masks, nullptr, dm->extents, gm->masks, nullptr, gm->extents, ranked, gts),
                crowd, theta, matrix);
    std::vector<double> bands(d_n * g_n, 0.0);
    mask_matrix(MaskPairs(dm->bands, nullptr, dm->band_extents, gm->bands, nullptr, gm->band_extents,
                          ranked, gts),
                crowd, theta, bands);
    // Boundary IoU is the lesser of mask and band IoU; crowd regions are
    // judged by their mask alone.
    for (size_t j = 0; j < g_n; ++j) {
      if (crowd[j]) continue;
      for (size_t i = 0; i < d_n; ++i) {
        double& e = matrix[i * g_n + j];
        e = std::min(e, bands[i * g_n + j]);
      }
    }
    return;
  }
  const auto* gk = std::get_if<Keypoints>(&gt.geometry);
  const auto* dk = std::get_if<Keypoints>(&dt.geometry);
  if (!gk || !dk) kinds_disagree();
  oks_matrix(st, *dk, *gk, ranked, gts, matrix);
}

// The masks of both sides and their pair functions; bands too for boundary
// IoU.
struct PairSimilarity::MaskSides {
  MaskPairs masks;
  std::unique_ptr<rle::PairIou> mask_iou;
  std::unique_ptr<MaskPairs> bands;
  std::unique_ptr<rle::PairIou> band_iou;
  MaskSides(MaskPairs m, std::span<const uint8_t> crowd)
      : masks(std::move(m)), mask_iou(masks.pairs(crowd)) {}
};

PairSimilarity::PairSimilarity(const EngineState& st, std::span<const uint32_t> dts,
                               std::span<const uint32_t> gts)
    : cols_(gts.size()) {
  for (uint32_t g : gts) crowd_.push_back(checked_at(st.gt.iscrowd, g, kAnnotation));
  const Geometry& dg = st.dt.geometry;
  const Geometry& gg = st.gt.geometry;
  if (const auto* gm = std::get_if<Masks>(&gg)) {
    const auto* dm = std::get_if<Masks>(&dg);
    if (!dm) kinds_disagree();
    masks_ = std::make_unique<MaskSides>(MaskPairs(*dm, *gm, dts, gts), crowd_);
  } else if (const auto* gb = std::get_if<BoundaryMasks>(&gg)) {
    const auto* db = std::get_if<BoundaryMasks>(&dg);
    if (!db) kinds_disagree();
    masks_ = std::make_unique<MaskSides>(
        MaskPairs(db->masks, nullptr, db->extents, gb->masks, nullptr, gb->extents, dts, gts), crowd_);
    masks_->bands = std::make_unique<MaskPairs>(db->bands, nullptr, db->band_extents, gb->bands, nullptr,
                                                gb->band_extents, dts, gts);
    masks_->band_iou = masks_->bands->pairs(crowd_);
  } else {
    matrix_.resize(dts.size() * gts.size());
    similarity_matrix(st, dts, gts, 0.0, matrix_);
  }
}

PairSimilarity::~PairSimilarity() = default;

double PairSimilarity::operator()(size_t d, size_t g, double floor) {
  if (!masks_) return matrix_[d * cols_ + g];
  const double m = (*masks_->mask_iou)(d, g, floor);
  // Boundary IoU is the lesser of mask and band IoU; crowd regions are
  // judged by their mask alone.
  if (!masks_->band_iou || crowd_[g]) return m;
  return std::min(m, (*masks_->band_iou)(d, g, floor));
}

double pruning_threshold(std::span<const double> iou_thrs) {
  double theta = kMaxIouThreshold;
  bool any = false;
  for (double t : iou_thrs) {
    if (std::isnan(t)) continue;
    theta = any ? std::min(theta, t) : t;
    any = true;
  }
  return any ? std::clamp(theta, 0.0, kMaxIouThreshold) : kMaxIouThreshold;
}

void rank_by_score(std::vector<uint32_t>& idx, std::span<const double> scores) {
  for (uint32_t i : idx) checked_index(i, scores.size(), kAnnotation);
  std::stable_sort(idx.begin(), idx.end(), [&](uint32_t a, uint32_t b) {
    const double sa = scores[a], sb = scores[b];
    return !std::isnan(sa) && (std::isnan(sb) || sa > sb);
  });
}

std::vector<GroupSimilarity> compute_similarity(const EngineState& st,
                                                std::span<const group::PairedGroup> pairs,
                                                bool exact) {
  const uint64_t cap = st.params.cap();
  auto one = [&](size_t p) {
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
    s.dt_scores.reserve(s.ranked.size());
    s.dt_areas.reserve(s.ranked.size());
    s.dt_unmatched_ignore.reserve(s.ranked.size());
    s.gt_areas.reserve(s.gts.size());
    s.gt_ignore.reserve(s.gts.size());
    s.gt_crowd.reserve(s.gts.size());
    for (uint32_t d : s.ranked) {
      s.dt_scores.push_back(checked_at(st.dt.scores, d, kAnnotation));
      s.dt_areas.push_back(checked_at(st.dt.areas, d, kAnnotation));
      s.dt_unmatched_ignore.push_back(checked_at(st.dt.unmatched_ignore, d, kAnnotation));
    }
    for (uint32_t g : s.gts) {
      s.gt_areas.push_back(checked_at(st.gt.areas, g, kAnnotation));
      s.gt_ignore.push_back(checked_at(st.gt.ignore, g, kAnnotation));
      s.gt_crowd.push_back(checked_at(st.gt.iscrowd, g, kAnnotation));
    }
    if (!s.ranked.empty() && !s.gts.empty()) fill_matrix(st, s, exact);
    return s;
  };
  return pool::parallel_map(pairs.size(), one, kGroupsPerChunk);
}

}  // namespace quillscore::eval
