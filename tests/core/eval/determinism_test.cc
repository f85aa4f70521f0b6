// Results must not depend on the pool's size or on scheduling: the same case
// run on pools of 1, 2 and 8 threads, and again and again, gives identical
// arrays, records and verdicts.
#include <gtest/gtest.h>
#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/task_arena.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "core/eval/run.h"
#include "core/pool/pool.h"
#include "core/rle/boundary.h"
#include "core/rle/ops.h"
#include "core/rle/raster.h"
#include "tests/core/eval/builders.h"

namespace quillscore::eval {
namespace {

using namespace testkit;

constexpr uint32_t kH = 48, kW = 64;

// Polygons on a 48 x 64 image: ground truths scattered over images and
// categories, detections mostly jittered copies of them plus strays.
struct Synthetic {
  size_t n_img = kSanitizerDivisor > 2 ? 10 : 60, n_cat = 4;
  std::vector<Ann> gts, dts;
  std::vector<rle::Rle> gt_masks, dt_masks;
};

std::vector<double> polygon(std::mt19937& rng, double cx, double cy, double r) {
  std::uniform_real_distribution<double> jitter(0.6, 1.0);
  std::vector<double> xy;
  for (int v = 0; v < 7; ++v) {
    const double a = v * 2 * M_PI / 7, rr = r * jitter(rng);
    xy.push_back(cx + rr * std::cos(a));
    xy.push_back(cy + rr * std::sin(a));
  }
  return xy;
}

Synthetic synthetic(uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> ux(4, kW - 4), uy(4, kH - 4), ur(2, 14), u01(0, 1);
  Synthetic s;
  rle::RasterWorkspace ws;
  auto add = [&](std::vector<Ann>& anns, std::vector<rle::Rle>& masks, Ann a,
                 const std::vector<double>& poly) {
    rle::Rle m = rle::rle_from_polygon(poly, kH, kW, ws);
    a.box = rle::rle_bbox(m);
    if (!a.area) a.area = rle::rle_area(m);
    anns.push_back(a);
    masks.push_back(std::move(m));
  };
  int64_t next_id = 1;
  for (uint32_t img = 0; img < s.n_img; ++img) {
    for (uint32_t cat = 0; cat < s.n_cat; ++cat) {
      const int n_gt = static_cast<int>(rng() % 5);
      for (int g = 0; g < n_gt; ++g) {
        const double cx = ux(rng), cy = uy(rng), r = ur(rng);
        Ann a{.id = next_id++, .img = img, .cat = cat, .crowd = static_cast<uint8_t>(u01(rng) < 0.08)};
        add(s.gts, s.gt_masks, a, polygon(rng, cx, cy, r));
        // Detections around it, some duplicated, scores with ties.
        const int n_dt = static_cast<int>(rng() % 4);
        for (int d = 0; d < n_dt; ++d) {
          Ann b{.id = next_id++, .img = img, .cat = cat,
                .score = std::round(u01(rng) * 20) / 20};
          add(s.dts, s.dt_masks, b, polygon(rng, cx + u01(rng) * 4 - 2, cy + u01(rng) * 4 - 2, r));
        }
      }
      const int strays = static_cast<int>(rng() % 6);
      for (int d = 0; d < strays; ++d) {
        Ann b{.id = next_id++, .img = img, .cat = cat, .score = std::round(u01(rng) * 20) / 20};
        add(s.dts, s.dt_masks, b, polygon(rng, ux(rng), uy(rng), ur(rng)));
      }
    }
  }
  return s;
}

enum class Kind { kBoxes, kMasks, kBoundary };

std::unique_ptr<EngineState> state_for(const Synthetic& s, Kind kind, bool use_cats) {
  EvalParams p = params(s.n_img, s.n_cat);
  p.iou_thrs = coco_iou_thrs();
  p.rec_thrs = coco_rec_thrs();
  p.max_dets = {1, 3, 10};
  p.area_rng = {{0, kBig}, {0, 64}, {64, 256}, {256, kBig}};
  p.use_cats = use_cats;
  AnnotationSet g = box_set(s.gts), d = box_set(s.dts);
  if (kind == Kind::kMasks) {
    g.geometry = Masks{s.gt_masks};
    d.geometry = Masks{s.dt_masks};
  } else if (kind == Kind::kBoundary) {
    BoundaryMasks gb{s.gt_masks, {}}, db{s.dt_masks, {}};
    for (const auto& m : s.gt_masks) gb.bands.push_back(rle::rle_boundary(m, 0.02));
    for (const auto& m : s.dt_masks) db.bands.push_back(rle::rle_boundary(m, 0.02));
    g.geometry = std::move(gb);
    d.geometry = std::move(db);
  }
  return make_engine_state(std::move(p), std::move(g), std::move(d));
}

bool same_verdicts(const Verdicts& a, const Verdicts& b) {
  if (a.detections.size() != b.detections.size() || a.ground_truths.size() != b.ground_truths.size()) {
    return false;
  }
  for (size_t i = 0; i < a.detections.size(); ++i) {
    const auto &x = a.detections[i], &y = b.detections[i];
    if (x.image_id != y.image_id || x.category_id != y.category_id || x.dt_id != y.dt_id ||
        std::memcmp(&x.score, &y.score, sizeof(double)) != 0 || x.gt_id != y.gt_id ||
        std::memcmp(&x.iou, &y.iou, sizeof(double)) != 0 || x.ignore != y.ignore) {
      return false;
    }
  }
  for (size_t i = 0; i < a.ground_truths.size(); ++i) {
    const auto &x = a.ground_truths[i], &y = b.ground_truths[i];
    if (x.image_id != y.image_id || x.category_id != y.category_id || x.gt_id != y.gt_id ||
        x.ignore != y.ignore || x.matched != y.matched) {
      return false;
    }
  }
  return true;
}

struct Outcome {
  AccumulatedResult result;
  std::vector<Verdicts> verdicts;
};

Outcome evaluate_in(tbb::task_arena& arena, EngineState& st) {
  return pool::run_in(arena, [&] {
    Outcome o;
    o.result = run(st, true);
    for (auto [t, a, md] : {std::tuple<size_t, size_t, uint64_t>{0, 0, 10}, {5, 1, 3}, {9, 3, 1}}) {
      o.verdicts.push_back(per_instance(st, t, a, md));
    }
    return o;
  });
}

std::string outcome_diff(const Outcome& got, const Outcome& want) {
  if (auto d = bitwise_diff(got.result.precision, want.result.precision); !d.empty()) return "precision " + d;
  if (auto d = bitwise_diff(got.result.recall, want.result.recall); !d.empty()) return "recall " + d;
  if (auto d = bitwise_diff(got.result.scores, want.result.scores); !d.empty()) return "scores " + d;
  if (got.result.records.size() != want.result.records.size()) return "record count";
  for (size_t i = 0; i < got.result.records.size(); ++i) {
    if (!same_record(got.result.records[i].get(), want.result.records[i].get())) {
      return "record " + std::to_string(i);
    }
  }
  for (size_t i = 0; i < got.verdicts.size(); ++i) {
    if (!same_verdicts(got.verdicts[i], want.verdicts[i])) return "verdicts " + std::to_string(i);
  }
  return "";
}

TEST(Determinism, SameResultsOnEveryPoolSize) {
  tbb::global_control many(tbb::global_control::max_allowed_parallelism, 8);
  const Synthetic s = synthetic(2024);
  ASSERT_GT(s.gts.size(), 300u / kSanitizerDivisor);
  ASSERT_GT(s.dts.size(), 900u / kSanitizerDivisor);
  tbb::task_arena one(1), two(2), eight(8);
  const char* kind_names[] = {"boxes", "masks", "boundary"};
  for (Kind kind : {Kind::kBoxes, Kind::kMasks, Kind::kBoundary}) {
    for (bool use_cats : {true, false}) {
      auto st = state_for(s, kind, use_cats);
      const Outcome reference = evaluate_in(one, *st);
      // Something was actually evaluated.
      size_t present = 0;
      for (const auto& r : reference.result.records) present += r != nullptr;
      ASSERT_GT(present, 0u);
      ASSERT_FALSE(reference.verdicts[0].detections.empty());
      const std::string what =
          std::string(kind_names[static_cast<int>(kind)]) + (use_cats ? "" : ", pooled");
      std::vector<tbb::task_arena*> arenas = {&two, &eight, &eight, &two, &eight};
      if (kSanitizerDivisor > 2) arenas = {&two, &eight};
      for (tbb::task_arena* arena : arenas) {
        const std::string d = outcome_diff(evaluate_in(*arena, *st), reference);
        EXPECT_EQ(d, "") << what << ", pool of " << arena->max_concurrency();
      }
    }
  }
}

}  // namespace
}  // namespace quillscore::eval
