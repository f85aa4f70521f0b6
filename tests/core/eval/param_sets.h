// Parameter sets for the randomized comparisons: different threshold,
// recall-threshold, area-range and max-detections lists, with and without
// categories.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/core/eval/builders.h"
#include "tests/core/eval/random_case.h"

namespace quillscore::eval::testkit {

struct ParamSet {
  const char* what;
  std::vector<double> iou;
  std::vector<double> rec;
  std::vector<uint64_t> max_dets;
  std::vector<std::array<double, 2>> areas;
  bool use_cats;
};

// Areas in the random cases run from 0 to about 64 (boxes up to 8 x 8).
inline const std::vector<std::array<double, 2>> kFourRanges = {
    {0, kBig}, {0, 16}, {16, 36}, {36, kBig}};

inline std::vector<ParamSet> param_sets() {
  return {
      {"coco-like", coco_iou_thrs(), coco_rec_thrs(), {1, 10, 100}, kFourRanges, true},
      {"coco-like pooled", coco_iou_thrs(), coco_rec_thrs(), {1, 10, 100}, kFourRanges, false},
      {"cap is the last entry", {0.5}, {0.0, 0.5, 1.0}, {100, 1, 3}, {{0, kBig}}, true},
      {"odd thresholds", {0.1, 0.3, kNaN, 1.0, 1.5}, {0.2, 0.25, 0.9}, {2}, {{16, 36}, {0, kBig}},
       false},
      {"zero threshold matches anything", {0.0, 0.05}, {0.0, 0.1, 0.5}, {1, 4}, {{0, 20}}, true},
      {"no IoU thresholds", {}, {0.0, 1.0}, {3, 1}, {{0, kBig}}, true},
      {"no max dets", {0.5, 0.7}, {0.0, 0.5}, {}, {{0, kBig}}, true},
      {"no recall thresholds, zero cap entry", {0.5, 0.75}, {}, {0, 5}, {{0, kBig}, {10, 30}},
       false},
      {"no area ranges", {0.5}, {0.5}, {10}, {}, true},
      {"fine recall, tight cap", {0.25, 0.5, 0.75}, coco_rec_thrs(), {1, 2}, kFourRanges, true},
  };
}

inline EvalParams params_for(const ParamSet& ps, const RandomCase& c) {
  EvalParams p = params(c.n_img, c.n_cat);
  p.iou_thrs = ps.iou;
  p.rec_thrs = ps.rec;
  p.max_dets = ps.max_dets;
  p.area_rng = ps.areas;
  p.use_cats = ps.use_cats;
  return p;
}

}  // namespace quillscore::eval::testkit
