// Compact construction of engine inputs for the evaluation tests: annotations
// described field by field, parameters with small defaults, and accessors
// into the flat result arrays.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "core/eval/model.h"
#include "core/eval/run.h"

namespace quillscore::eval::testkit {

// Under ThreadSanitizer every instruction costs many times more, and with an
// uninstrumented TBB every task hand-over produces a (suppressed) report;
// the randomized comparisons then run fewer seeds, and the concurrency tests
// a smaller case. Their full size runs in the plain build.
#if defined(__SANITIZE_THREAD__)
inline constexpr uint32_t kSanitizerDivisor = 8;
#elif defined(__SANITIZE_ADDRESS__)
inline constexpr uint32_t kSanitizerDivisor = 2;
#else
inline constexpr uint32_t kSanitizerDivisor = 1;
#endif
inline uint32_t seeds(uint32_t n) { return n / kSanitizerDivisor > 0 ? n / kSanitizerDivisor : 1; }

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
inline constexpr uint32_t kOut = group::kUnlisted;
inline constexpr double kBig = 1e10;

// Identifiers deliberately differ from positions so that a position reported
// as an id (or the reverse) shows up.
inline int64_t img_id(size_t i) { return 1000 + 7 * static_cast<int64_t>(i); }
inline int64_t cat_id(size_t k) { return 10 * (static_cast<int64_t>(k) + 1); }

// One annotation. `area` defaults to the box's w * h and `ignore` to the
// crowd flag, as the intake delivers them.
struct Ann {
  int64_t id = 0;
  uint32_t img = 0;
  uint32_t cat = 0;
  rle::Box box{0, 0, 1, 1};
  double score = 1.0;
  std::optional<double> area{};
  uint8_t crowd = 0;
  std::optional<uint8_t> ignore{};
  uint8_t unmatched_ignore = 0;
};

// The columns of a set; geometry is Boxes from the annotations' boxes.
inline AnnotationSet box_set(const std::vector<Ann>& anns) {
  AnnotationSet s;
  Boxes boxes;
  for (const Ann& a : anns) {
    s.ids.push_back(a.id);
    s.scores.push_back(a.score);
    s.areas.push_back(a.area ? *a.area : a.box[2] * a.box[3]);
    s.iscrowd.push_back(a.crowd);
    s.ignore.push_back(a.ignore ? *a.ignore : a.crowd);
    s.unmatched_ignore.push_back(a.unmatched_ignore);
    s.image_index.push_back(a.img);
    s.category_index.push_back(a.cat);
    boxes.boxes.push_back(a.box);
  }
  s.geometry = std::move(boxes);
  return s;
}

inline AnnotationSet with_geometry(AnnotationSet s, Geometry g) {
  s.geometry = std::move(g);
  return s;
}

// n_img images and n_cat categories; one threshold of 0.5, recall thresholds
// 0, 0.5 and 1, one cap of 100, one all-covering area range.
inline EvalParams params(size_t n_img, size_t n_cat) {
  EvalParams p;
  for (size_t i = 0; i < n_img; ++i) p.img_ids.push_back(img_id(i));
  for (size_t k = 0; k < n_cat; ++k) p.cat_ids.push_back(cat_id(k));
  p.iou_thrs = {0.5};
  p.rec_thrs = {0.0, 0.5, 1.0};
  p.max_dets = {100};
  p.area_rng = {{0, kBig}};
  p.use_cats = true;
  p.iou_type = IouType::kBbox;
  return p;
}

// 0, 0.01, ..., 1 as the usual protocol spells them.
inline std::vector<double> coco_rec_thrs() {
  std::vector<double> r;
  for (int i = 0; i <= 100; ++i) r.push_back(i / 100.0);
  return r;
}

inline std::vector<double> coco_iou_thrs() {
  std::vector<double> t;
  for (int i = 0; i < 10; ++i) t.push_back(0.5 + 0.05 * i);
  return t;
}

inline std::unique_ptr<EngineState> boxes_state(EvalParams p, const std::vector<Ann>& gts,
                                                const std::vector<Ann>& dts) {
  return make_engine_state(std::move(p), box_set(gts), box_set(dts));
}

// --- reading results ----------------------------------------------------------

inline size_t dim(const AccumulatedResult& r, int i) { return r.dims[static_cast<size_t>(i)]; }

inline double precision_at(const AccumulatedResult& res, size_t t, size_t r, size_t k, size_t a,
                           size_t m) {
  const size_t R = dim(res, 1), K = dim(res, 2), A = dim(res, 3), M = dim(res, 4);
  return res.precision.at((((t * R + r) * K + k) * A + a) * M + m);
}

inline double scores_at(const AccumulatedResult& res, size_t t, size_t r, size_t k, size_t a,
                        size_t m) {
  const size_t R = dim(res, 1), K = dim(res, 2), A = dim(res, 3), M = dim(res, 4);
  return res.scores.at((((t * R + r) * K + k) * A + a) * M + m);
}

inline double recall_at(const AccumulatedResult& res, size_t t, size_t k, size_t a, size_t m) {
  const size_t K = dim(res, 2), A = dim(res, 3), M = dim(res, 4);
  return res.recall.at(((t * K + k) * A + a) * M + m);
}

// The record at (slot, area range, image), or null when absent.
inline const EvalImageRecord* record_at(const AccumulatedResult& res, size_t n_img, size_t k,
                                        size_t a, size_t img) {
  const size_t A = dim(res, 3);
  return res.records.at((k * A + a) * n_img + img).get();
}

// Empty when both lists are equal bit for bit, else where they first differ.
inline std::string bitwise_diff(const std::vector<double>& got, const std::vector<double>& want) {
  if (got.size() != want.size()) {
    return "sizes differ: " + std::to_string(got.size()) + " vs " + std::to_string(want.size());
  }
  for (size_t i = 0; i < got.size(); ++i) {
    if (std::memcmp(&got[i], &want[i], sizeof(double)) != 0) {
      std::ostringstream os;
      os.precision(17);
      os << "first difference at flat index " << i << ": " << got[i] << " vs " << want[i];
      return os.str();
    }
  }
  return "";
}

inline bool same_record(const EvalImageRecord* a, const EvalImageRecord* b) {
  if (!a || !b) return a == b;
  auto bits = [](const std::vector<double>& x, const std::vector<double>& y) {
    return x.size() == y.size() && (x.empty() || std::memcmp(x.data(), y.data(), x.size() * sizeof(double)) == 0);
  };
  return a->dt_ids == b->dt_ids && a->gt_ids == b->gt_ids && bits(a->dt_scores, b->dt_scores) &&
         a->gt_ignore == b->gt_ignore && a->dt_matches == b->dt_matches &&
         a->gt_matches == b->gt_matches && a->dt_ignore == b->dt_ignore &&
         a->image_id == b->image_id && a->category_id == b->category_id &&
         a->area_index == b->area_index && a->max_det == b->max_det;
}

}  // namespace quillscore::eval::testkit
