#include "core/eval/similarity.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>

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

// A hint that the line at p will be read soon. GCC dropped every
// __builtin_prefetch of the loops below (they have no other effect), so on
// x86 the instruction is written out.
inline void prefetch_line(const void* p) {
#if defined(__x86_64__) || defined(__i386__)
  asm volatile("prefetcht0 %0" : : "m"(*static_cast<const char*>(p)));
#else
  __builtin_prefetch(p);
#endif
}

// The columns a group's similarity reads of one side, for asking for an
// annotation's cache lines ahead of the group. Sources list annotations
// image by image while a slot walks one category across all images, so
// without the hints nearly every one of these reads is a miss that the
// group's work then waits for.
class ColumnHints {
 public:
  ColumnHints(const AnnotationSet& set, bool detections) {
    if (detections) {
      add(set.scores);
      add(set.unmatched_ignore);
    } else {
      add(set.ignore);
      add(set.iscrowd);
    }
    add(set.areas);
    if (const auto* b = std::get_if<Boxes>(&set.geometry)) {
      add(b->boxes);
    } else if (const auto* shared = std::get_if<SharedBoxes>(&set.geometry)) {
      if (shared->rows) add(reinterpret_cast<const std::byte*>(shared->rows.get()), sizeof(Box));
    }
  }
  // `i`: a member of one of the set's groups, so a position in each column.
  void prefetch(uint32_t i) const {
    for (size_t c = 0; c < n_; ++c) prefetch_line(base_[c] + size_t{i} * size_[c]);
  }

 private:
  template <class T>
  void add(const std::vector<T>& column) {
    if (!column.empty()) add(reinterpret_cast<const std::byte*>(column.data()), sizeof(T));
  }
  void add(const std::byte* base, size_t size) {
    base_[n_] = base;
    size_[n_++] = size;
  }
  const std::byte* base_[4] = {};
  size_t size_[4] = {};
  size_t n_ = 0;
};

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
  PickedFacts(const MaskExtents& all, size_t masks, std::span<const uint32_t> idx,
              const PackedMasks* packed) {
    if (all.boxes.size() != masks || all.areas.size() != masks) return;
    for (uint32_t i : idx) {
      const auto& b = checked_at(all.boxes, i, kAnnotation);
      if (b == MaskExtents::kBoxLater && packed) {
        boxes.push_back(packed->extent(i).box());
      } else {
        boxes.push_back({static_cast<double>(b[0]), static_cast<double>(b[1]), static_cast<double>(b[2]),
                         static_cast<double>(b[3])});
      }
      areas.push_back(checked_at(all.areas, i, kAnnotation));
    }
  }
  rle::MaskFacts view() const { return {boxes, areas}; }
};

// The masks of detections `ranked` and ground truths `gts` as the mask IoU
// functions take them, for as long as these pairs are looked at. Packed ground
// truths are decoded here; packed detections (null in `dt`) only once a pair's
// boxes overlap, since most detections of a group overlap no ground truth.
struct MaskPairs {
  std::vector<rle::Rle> decoded;
  std::vector<const rle::Rle*> dt, gt;
  PickedFacts dt_facts, gt_facts;
  const PackedMasks* dt_packed = nullptr;
  std::vector<uint32_t> dt_index;  // the packed detections' positions
  MaskPairs(const std::vector<rle::Rle>& dmasks, const PackedMasks* dpacked, const MaskExtents& dext,
            const std::vector<rle::Rle>& gmasks, const PackedMasks* gpacked, const MaskExtents& gext,
            std::span<const uint32_t> ranked, std::span<const uint32_t> gts)
      : dt_facts(dext, dpacked ? dpacked->size() : dmasks.size(), ranked, dpacked),
        gt_facts(gext, gpacked ? gpacked->size() : gmasks.size(), gts, gpacked) {
    // Room for every decoded mask up front: the pointers into it must stay.
    decoded.reserve(gpacked ? gts.size() : 0);
    if (dpacked) {
      for (uint32_t i : ranked) checked_index(i, dpacked->size(), kAnnotation);
      dt_packed = dpacked;
      dt_index.assign(ranked.begin(), ranked.end());
      dt.assign(ranked.size(), nullptr);
    } else {
      pick(dmasks, nullptr, ranked, dt);
    }
    pick(gmasks, gpacked, gts, gt);
  }
  MaskPairs(const Masks& d, const Masks& g, std::span<const uint32_t> ranked,
            std::span<const uint32_t> gts)
      : MaskPairs(d.masks, d.packed.text ? &d.packed : nullptr, d.extents, g.masks,
                  g.packed.text ? &g.packed : nullptr, g.extents, ranked, gts) {}
  std::unique_ptr<rle::PairIou> pairs(std::span<const uint8_t> crowd) const {
    return std::make_unique<rle::PairIou>(dt, gt, crowd, dt_facts.view(), gt_facts.view(), decoder());
  }
  rle::MaskDecoder decoder() const {
    if (!dt_packed) return {};
    return [packed = dt_packed, index = dt_index](size_t d) { return packed->decode(index[d]); };
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
  rle::rle_iou(m.dt, m.gt, crowd, theta, out, m.dt_facts.view(), m.gt_facts.view(), m.decoder());
}

// Places columns one after another in one block, each aligned for its type.
class Layout {
 public:
  // Reserves n values of T; the column's offset in the block.
  template <class T>
  size_t add(size_t n) {
    bytes_ = (bytes_ + alignof(T) - 1) / alignof(T) * alignof(T);
    const size_t at = bytes_;
    bytes_ += checked_count<T>({n}) * sizeof(T);
    if (bytes_ < at) throw std::bad_array_new_length();
    return at;
  }
  size_t bytes() const { return bytes_; }

 private:
  size_t bytes_ = 0;
};

// Sorts idx (small runs in place, without the merge buffer a stable sort
// asks for) by `before`, equal elements keeping their order.
template <class Before>
void stable_rank(std::span<uint32_t> idx, Before before) {
  constexpr size_t kInsertionUpTo = 32;
  if (idx.size() > kInsertionUpTo) {
    std::stable_sort(idx.begin(), idx.end(), before);
    return;
  }
  for (size_t i = 1; i < idx.size(); ++i) {
    const uint32_t v = idx[i];
    size_t j = i;
    for (; j > 0 && before(v, idx[j - 1]); --j) idx[j] = idx[j - 1];
    idx[j] = v;
  }
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
  const auto crowd_of = [&](std::vector<uint8_t>& crowd) {
    crowd.resize(g_n);
    for (size_t j = 0; j < g_n; ++j) crowd[j] = checked_at(gt.iscrowd, gts[j], kAnnotation);
  };
  if (box_like(gt.geometry)) {
    if (!box_like(dt.geometry)) kinds_disagree();
    // Per-thread scratch: boxes are compared once per group, and there can
    // be millions; box_iou runs nothing else on this thread meanwhile.
    thread_local std::vector<uint8_t> box_crowd;
    thread_local std::vector<Box> db, gb;
    crowd_of(box_crowd);
    db.resize(d_n);
    gb.resize(g_n);
    for (size_t i = 0; i < d_n; ++i) db[i] = box_of(dt.geometry, ranked[i]);
    for (size_t j = 0; j < g_n; ++j) gb[j] = box_of(gt.geometry, gts[j]);
    rle::box_iou(db, gb, box_crowd, matrix);
    return;
  }
  std::vector<uint8_t> crowd;
  crowd_of(crowd);
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

void rank_by_score(std::span<uint32_t> idx, std::span<const double> scores) {
  for (uint32_t i : idx) checked_index(i, scores.size(), kAnnotation);
  stable_rank(idx, [&](uint32_t a, uint32_t b) {
    const double sa = scores[a], sb = scores[b];
    return !std::isnan(sa) && (std::isnan(sb) || sa > sb);
  });
}

GroupSimilarity GroupSimilarity::first(uint64_t n) const {
  if (ranked.size() <= n) return *this;
  const size_t d = static_cast<size_t>(n);
  GroupSimilarity s = *this;
  s.ranked = ranked.first(d);
  s.matrix = matrix.first(matrix.empty() ? 0 : d * gts.size());
  s.row_best = row_best.first(d);
  s.dt_scores = dt_scores.first(d);
  s.dt_areas = dt_areas.first(d);
  s.dt_unmatched_ignore = dt_unmatched_ignore.first(d);
  return s;
}

Similarities compute_similarity(const EngineState& st, std::span<const group::PairedGroup> pairs,
                                bool exact) {
  const uint64_t cap = st.params.cap();
  const size_t n = pairs.size();
  // Where each group's rows start in the shared columns; starts[n] holds the
  // totals.
  struct Start {
    size_t dt = 0, gt = 0, cells = 0;
  };
  std::vector<Start> starts(n + 1);
  Start total;
  for (size_t p = 0; p < n; ++p) {
    starts[p] = total;
    const group::PairedGroup& pg = pairs[p];
    const size_t d = pg.has_dt ? static_cast<size_t>(std::min<uint64_t>(
                                     st.dt_index.members(pg.dt).size(), cap))
                               : 0;
    const size_t g = pg.has_gt ? st.gt_index.members(pg.gt).size() : 0;
    total.dt += d;
    total.gt += g;
    if (d > 0 && g > 0 && __builtin_add_overflow(total.cells, checked_count<double>({d, g}), &total.cells)) {
      throw std::bad_array_new_length();
    }
  }
  starts[n] = total;

  Similarities out;
  out.groups_.resize(n);
  if (n == 0) return out;
  // One block, its columns left unset: each is written in full below.
  Layout layout;
  const size_t matrix_at = layout.add<double>(total.cells), best_at = layout.add<double>(total.dt),
               scores_at = layout.add<double>(total.dt), areas_at = layout.add<double>(total.dt),
               gt_areas_at = layout.add<double>(total.gt), ranked_at = layout.add<uint32_t>(total.dt),
               unmatched_at = layout.add<uint8_t>(total.dt), gt_ignore_at = layout.add<uint8_t>(total.gt),
               crowd_at = layout.add<uint8_t>(total.gt);
  out.storage_.reset(new std::byte[layout.bytes()]);
  std::byte* const block = out.storage_.get();
  double* const all_matrix = reinterpret_cast<double*>(block + matrix_at);
  double* const all_best = reinterpret_cast<double*>(block + best_at);
  double* const all_scores = reinterpret_cast<double*>(block + scores_at);
  double* const all_areas = reinterpret_cast<double*>(block + areas_at);
  double* const all_gt_areas = reinterpret_cast<double*>(block + gt_areas_at);
  uint32_t* const all_ranked = reinterpret_cast<uint32_t*>(block + ranked_at);
  uint8_t* const all_unmatched = reinterpret_cast<uint8_t*>(block + unmatched_at);
  uint8_t* const all_gt_ignore = reinterpret_cast<uint8_t*>(block + gt_ignore_at);
  uint8_t* const all_crowd = reinterpret_cast<uint8_t*>(block + crowd_at);
  const double floor = exact ? 0.0 : pruning_threshold(st.params.iou_thrs);

  // How many groups ahead of the one in hand its annotations are asked for;
  // none for sets whose columns stay in the cache (a streamed batch).
  constexpr size_t kPrefetchAhead = 6, kRowsForHints = size_t{1} << 16;
  const bool hint = st.dt.size() + st.gt.size() >= kRowsForHints;
  const ColumnHints dt_hints(st.dt, true), gt_hints(st.gt, false);
  const auto prefetch = [&](size_t p) {
    if (!hint) return;
    const group::PairedGroup& pg = pairs[p];
    if (pg.has_dt) {
      for (const uint32_t d : st.dt_index.members(pg.dt)) dt_hints.prefetch(d);
    }
    if (pg.has_gt) {
      for (const uint32_t g : st.gt_index.members(pg.gt)) gt_hints.prefetch(g);
    }
  };
  auto chunk = [&](size_t begin, size_t end) {
    const pool::CancelCheck check;
    std::vector<uint32_t> all;  // a group's detections before the cap
    for (size_t p = begin; p < std::min(end, begin + kPrefetchAhead); ++p) prefetch(p);
    for (size_t p = begin; p < end; ++p) {
      check();
      if (p + kPrefetchAhead < end) prefetch(p + kPrefetchAhead);
      const group::PairedGroup& pg = pairs[p];
      const Start& at = starts[p];
      const size_t d_n = starts[p + 1].dt - at.dt, g_n = starts[p + 1].gt - at.gt;
      GroupSimilarity& s = out.groups_[p];
      s.image = pg.image;
      if (pg.has_gt) s.gts = st.gt_index.members(pg.gt);
      const std::span<uint32_t> ranked(all_ranked + at.dt, d_n);
      if (pg.has_dt) {
        const auto members = st.dt_index.members(pg.dt);
        if (members.size() == d_n) {
          std::copy(members.begin(), members.end(), ranked.begin());
          rank_by_score(ranked, st.dt.scores);
        } else {
          all.assign(members.begin(), members.end());
          rank_by_score(all, st.dt.scores);
          std::copy_n(all.begin(), d_n, ranked.begin());
        }
      }
      double* scores = all_scores + at.dt;
      double* areas = all_areas + at.dt;
      uint8_t* unmatched_ignore = all_unmatched + at.dt;
      for (size_t i = 0; i < d_n; ++i) {
        const uint32_t d = ranked[i];
        scores[i] = checked_at(st.dt.scores, d, kAnnotation);
        areas[i] = checked_at(st.dt.areas, d, kAnnotation);
        unmatched_ignore[i] = checked_at(st.dt.unmatched_ignore, d, kAnnotation);
      }
      double* gt_areas = all_gt_areas + at.gt;
      uint8_t* gt_ignore = all_gt_ignore + at.gt;
      uint8_t* gt_crowd = all_crowd + at.gt;
      for (size_t j = 0; j < g_n; ++j) {
        const uint32_t g = s.gts[j];
        gt_areas[j] = checked_at(st.gt.areas, g, kAnnotation);
        gt_ignore[j] = checked_at(st.gt.ignore, g, kAnnotation);
        gt_crowd[j] = checked_at(st.gt.iscrowd, g, kAnnotation);
      }
      const size_t cells = d_n > 0 && g_n > 0 ? d_n * g_n : 0;
      const std::span<double> matrix(all_matrix + at.cells, cells);
      double* best = all_best + at.dt;
      if (cells > 0) {
        similarity_matrix(st, ranked, s.gts, floor, matrix);
        for (size_t i = 0; i < d_n; ++i) {
          double b = -std::numeric_limits<double>::infinity();
          for (size_t j = 0; j < g_n; ++j) {
            const double v = matrix[i * g_n + j];
            b = std::isnan(v) ? std::numeric_limits<double>::infinity() : std::max(b, v);
          }
          best[i] = b;
        }
      } else {
        std::fill_n(best, d_n, -std::numeric_limits<double>::infinity());
      }
      s.ranked = ranked;
      s.matrix = matrix;
      s.row_best = {best, d_n};
      s.dt_scores = {scores, d_n};
      s.dt_areas = {areas, d_n};
      s.dt_unmatched_ignore = {unmatched_ignore, d_n};
      s.gt_areas = {gt_areas, g_n};
      s.gt_ignore = {gt_ignore, g_n};
      s.gt_crowd = {gt_crowd, g_n};
    }
  };
  pool::parallel_chunks(n, chunk, kGroupsPerChunk);
  return out;
}

}  // namespace quillscore::eval
