// Per-image records collected by run, and per-instance verdicts.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/eval/run.h"
#include "tests/core/eval/builders.h"
#include "tests/core/eval/naive_coco.h"
#include "tests/core/eval/param_sets.h"
#include "tests/core/eval/random_case.h"

namespace quillscore::eval {
namespace {

using namespace testkit;

// --- per-image records ------------------------------------------------------------

TEST(Records, OnePositionPerSlotRangeAndImage) {
  // Four images; slot 0 has annotations on images 1 and 3, slot 1 on image 2
  // only, and image 0 has nothing listed anywhere.
  EvalParams p = params(4, 2);
  p.iou_thrs = {0.5, 0.9};
  p.max_dets = {1, 5};
  p.area_rng = {{0, kBig}, {0, 50}};
  const std::vector<Ann> gts = {
      {.id = 1, .img = 3, .cat = 0, .box = {0, 0, 10, 10}},
      {.id = 2, .img = 2, .cat = 1, .box = {0, 0, 5, 5}},
      {.id = 3, .img = 0, .cat = kOut, .box = {0, 0, 5, 5}},
      {.id = 4, .img = kOut, .cat = 0, .box = {0, 0, 5, 5}},
  };
  const std::vector<Ann> dts = {
      {.id = 10, .img = 1, .cat = 0, .box = {0, 0, 10, 10}, .score = 0.4},
      {.id = 11, .img = 3, .cat = 0, .box = {0, 0, 10, 9}, .score = 0.7},
      {.id = 12, .img = kOut, .cat = 1, .box = {0, 0, 5, 5}, .score = 0.9},
  };
  auto st = boxes_state(p, gts, dts);
  EXPECT_TRUE(run(*st, false).records.empty());
  const auto res = run(*st, true);
  ASSERT_EQ(res.records.size(), 2u * 2u * 4u);
  for (size_t k = 0; k < 2; ++k) {
    for (size_t a = 0; a < 2; ++a) {
      for (size_t i = 0; i < 4; ++i) {
        const EvalImageRecord* rec = record_at(res, 4, k, a, i);
        const bool present = (k == 0 && (i == 1 || i == 3)) || (k == 1 && i == 2);
        ASSERT_EQ(rec != nullptr, present) << k << a << i;
        if (!rec) continue;
        EXPECT_EQ(rec->image_id, img_id(i));
        EXPECT_EQ(rec->category_id, cat_id(k));
        EXPECT_EQ(rec->area_index, a);
        EXPECT_EQ(rec->max_det, 5u);
        const size_t T = 2, D = rec->dt_ids.size(), G = rec->gt_ids.size();
        EXPECT_EQ(rec->dt_scores.size(), D);
        EXPECT_EQ(rec->dt_matches.size(), T * D);
        EXPECT_EQ(rec->dt_ignore.size(), T * D);
        EXPECT_EQ(rec->gt_matches.size(), T * G);
        EXPECT_EQ(rec->gt_ignore.size(), G);
      }
    }
  }
  // Image 3, slot 0: detection 11 (IoU 0.9) matches ground truth 1 at both
  // thresholds; ids, not positions, are reported.
  const EvalImageRecord* rec = record_at(res, 4, 0, 0, 3);
  EXPECT_EQ(rec->dt_ids, (std::vector<int64_t>{11}));
  EXPECT_EQ(rec->dt_scores, (std::vector<double>{0.7}));
  EXPECT_EQ(rec->dt_matches, (std::vector<int64_t>{1, 1}));
  EXPECT_EQ(rec->gt_matches, (std::vector<int64_t>{11, 11}));
  // In the small range (areas up to 50) ground truth 1 (area 100) is ignored
  // and so is the detection matched to it.
  rec = record_at(res, 4, 0, 1, 3);
  EXPECT_EQ(rec->gt_ignore, (std::vector<uint8_t>{1}));
  EXPECT_EQ(rec->dt_ignore, (std::vector<uint8_t>{1, 1}));
  // Image 1: a detection alone.
  rec = record_at(res, 4, 0, 0, 1);
  EXPECT_EQ(rec->dt_ids, (std::vector<int64_t>{10}));
  EXPECT_TRUE(rec->gt_ids.empty());
  EXPECT_EQ(rec->dt_matches, (std::vector<int64_t>{0, 0}));
  // No record anywhere mentions the annotations of unlisted images or
  // categories.
  for (const auto& r : res.records) {
    if (!r) continue;
    for (int64_t id : r->gt_ids) EXPECT_TRUE(id == 1 || id == 2) << id;
    for (int64_t id : r->dt_ids) EXPECT_TRUE(id == 10 || id == 11) << id;
  }
}

// --- per-instance verdicts ----------------------------------------------------------

TEST(Verdicts, RowsOfOneImage) {
  // Ground truths: 1 counted, 2 ignored. Detections ranked 10 (hits 1),
  // 11 (hits the ignored 2 only), 12 (hits 1, already taken), 13 (misses).
  EvalParams p = params(1, 1);
  p.iou_thrs = {0.5, 0.95};
  auto st = boxes_state(p,
                        {{.id = 1, .box = {0, 0, 10, 10}}, {.id = 2, .box = {50, 0, 10, 10}, .ignore = 1}},
                        {{.id = 10, .box = {0, 0, 10, 9}, .score = 0.9},
                         {.id = 11, .box = {50, 0, 8, 10}, .score = 0.8},
                         {.id = 12, .box = {0, 0, 10, 10}, .score = 0.7},
                         {.id = 13, .box = {90, 90, 1, 1}, .score = 0.6}});
  const Verdicts v = per_instance(*st, 0, 0, 100);
  ASSERT_EQ(v.detections.size(), 4u);
  const int64_t img = img_id(0), cat = cat_id(0);
  auto det = [&](size_t i) { return v.detections[i]; };
  EXPECT_EQ(det(0).image_id, img);
  EXPECT_EQ(det(0).category_id, cat);
  EXPECT_EQ(det(0).dt_id, 10);
  EXPECT_EQ(det(0).score, 0.9);
  EXPECT_EQ(det(0).gt_id, 1);
  EXPECT_EQ(det(0).iou, 0.9);
  EXPECT_EQ(det(0).ignore, 0);
  // Matched to the ignored ground truth: reports it and its IoU, ignored.
  EXPECT_EQ(det(1).dt_id, 11);
  EXPECT_EQ(det(1).gt_id, 2);
  EXPECT_EQ(det(1).iou, 0.8);
  EXPECT_EQ(det(1).ignore, 1);
  // Unmatched: -1 and 0.
  EXPECT_EQ(det(2).dt_id, 12);
  EXPECT_EQ(det(2).gt_id, -1);
  EXPECT_EQ(det(2).iou, 0.0);
  EXPECT_EQ(det(2).ignore, 0);
  EXPECT_EQ(det(3).gt_id, -1);
  ASSERT_EQ(v.ground_truths.size(), 2u);
  EXPECT_EQ(v.ground_truths[0].gt_id, 1);
  EXPECT_EQ(v.ground_truths[0].ignore, 0);
  EXPECT_EQ(v.ground_truths[0].matched, 1);
  EXPECT_EQ(v.ground_truths[1].gt_id, 2);
  EXPECT_EQ(v.ground_truths[1].ignore, 1);
  EXPECT_EQ(v.ground_truths[1].matched, 1);
  EXPECT_EQ(v.ground_truths[1].image_id, img);
  EXPECT_EQ(v.ground_truths[1].category_id, cat);

  // At 0.95 only detection 12 (IoU 1) matches, and ground truth 1 is matched
  // through it.
  const Verdicts strict = per_instance(*st, 1, 0, 100);
  EXPECT_EQ(strict.detections[0].gt_id, -1);
  EXPECT_EQ(strict.detections[2].gt_id, 1);
  EXPECT_EQ(strict.detections[2].iou, 1.0);
  EXPECT_EQ(strict.ground_truths[0].matched, 1);
  EXPECT_EQ(strict.ground_truths[1].matched, 0);

  // Reporting two detections: ground truth 1 at 0.95 was matched only by the
  // third and shows unmatched; the reported detections keep their matches.
  const Verdicts two = per_instance(*st, 1, 0, 2);
  ASSERT_EQ(two.detections.size(), 2u);
  EXPECT_EQ(two.detections[0].gt_id, -1);
  EXPECT_EQ(two.detections[1].gt_id, -1);
  EXPECT_EQ(two.ground_truths[0].matched, 0);
  const Verdicts one = per_instance(*st, 0, 0, 1);
  ASSERT_EQ(one.detections.size(), 1u);
  EXPECT_EQ(one.ground_truths[0].matched, 1);
  EXPECT_EQ(one.ground_truths[1].matched, 0);

  const Verdicts none = per_instance(*st, 0, 0, 0);
  EXPECT_TRUE(none.detections.empty());
  ASSERT_EQ(none.ground_truths.size(), 2u);
  EXPECT_EQ(none.ground_truths[0].matched, 0);
  EXPECT_EQ(none.ground_truths[1].matched, 0);
}

TEST(Verdicts, SlotsInOrderAndPooledCategories) {
  EvalParams p = params(2, 2);
  const std::vector<Ann> gts = {{.id = 1, .img = 1, .cat = 1, .box = {0, 0, 4, 4}},
                                {.id = 2, .img = 0, .cat = 0, .box = {0, 0, 4, 4}}};
  const std::vector<Ann> dts = {{.id = 10, .img = 1, .cat = 1, .box = {0, 0, 4, 4}},
                                {.id = 11, .img = 1, .cat = 0, .box = {0, 0, 4, 4}},
                                {.id = 12, .img = 0, .cat = 0, .box = {0, 0, 4, 4}}};
  auto st = boxes_state(p, gts, dts);
  const Verdicts v = per_instance(*st, 0, 0, 10);
  std::vector<std::pair<int64_t, int64_t>> d_rows, g_rows;
  for (const auto& r : v.detections) d_rows.push_back({r.category_id, r.dt_id});
  for (const auto& r : v.ground_truths) g_rows.push_back({r.category_id, r.gt_id});
  // Slot 0 (images 0, 1), then slot 1.
  EXPECT_EQ(d_rows, (std::vector<std::pair<int64_t, int64_t>>{{10, 12}, {10, 11}, {20, 10}}));
  EXPECT_EQ(g_rows, (std::vector<std::pair<int64_t, int64_t>>{{10, 2}, {20, 1}}));

  p.use_cats = false;
  auto pooled = boxes_state(p, gts, dts);
  const Verdicts pv = per_instance(*pooled, 0, 0, 10);
  ASSERT_EQ(pv.detections.size(), 3u);
  ASSERT_EQ(pv.ground_truths.size(), 2u);
  for (const auto& r : pv.detections) EXPECT_EQ(r.category_id, -1);
  for (const auto& r : pv.ground_truths) EXPECT_EQ(r.category_id, -1);
  // Image 1 pools categories 0 and 1: both detections have score 1 and rank
  // by category, so 11 (category 0) takes ground truth 1 first.
  EXPECT_EQ(pv.detections[1].dt_id, 11);
  EXPECT_EQ(pv.detections[1].gt_id, 1);
  EXPECT_EQ(pv.detections[2].dt_id, 10);
  EXPECT_EQ(pv.detections[2].gt_id, -1);
}

TEST(Verdicts, IndexesOutOfRangeFailTheQuery) {
  EvalParams p = params(2, 2);
  p.iou_thrs = {0.5, 0.75};
  p.area_rng = {{0, kBig}};
  // Slot 1 holds a ground truth alone; slot 0 a detection and a ground truth.
  auto st = boxes_state(p, {{.id = 1, .img = 0, .cat = 0}, {.id = 2, .img = 1, .cat = 1}},
                        {{.id = 10, .img = 0, .cat = 0}});
  auto fails = [&](size_t t, size_t a, uint64_t max_det) {
    try {
      per_instance(*st, t, a, max_det);
    } catch (const InternalError&) {
      return true;
    }
    return false;
  };
  EXPECT_FALSE(fails(1, 0, 10));
  EXPECT_TRUE(fails(2, 0, 10));
  EXPECT_TRUE(fails(99, 0, 10));
  EXPECT_TRUE(fails(0, 1, 10));
  EXPECT_TRUE(fails(0, 1, 0));
  EXPECT_TRUE(fails(5, 7, 10));

  // With no group anywhere, any index gives empty lists.
  auto empty = boxes_state(p, {}, {{.id = 10, .img = kOut}});
  for (auto [t, a] : {std::pair<size_t, size_t>{0, 0}, {9, 0}, {0, 9}, {9, 9}}) {
    const Verdicts v = per_instance(*empty, t, a, 10);
    EXPECT_TRUE(v.detections.empty());
    EXPECT_TRUE(v.ground_truths.empty());
  }
  EvalParams no_cats = params(2, 0);
  auto k0 = boxes_state(no_cats, {}, {});
  EXPECT_TRUE(per_instance(*k0, 3, 3, 3).detections.empty());
}

// Random cases: every row against the plain evaluation's records.
TEST(Verdicts, RandomCasesAgainstNaive) {
  for (const ParamSet& ps : param_sets()) {
    if (ps.iou.empty() || ps.areas.empty()) continue;
    for (uint32_t seed = 1; seed <= seeds(40); ++seed) {
      const RandomCase c = random_case(seed + 300);
      const EvalParams p = params_for(ps, c);
      auto st = boxes_state(p, c.gts, c.dts);
      const naive::Result want = naive::evaluate(p, c.gts, c.dts, [&](size_t d, size_t g) {
        return naive::box_iou(c.dts[d].box, c.gts[g].box, c.gts[g].crowd);
      });
      const size_t t = seed % p.iou_thrs.size(), a = (seed / 3) % p.area_rng.size();
      for (uint64_t max_det : {uint64_t{0}, uint64_t{1}, uint64_t{2}, p.cap(), uint64_t{1000}}) {
        const Verdicts got = per_instance(*st, t, a, max_det);
        const naive::Rows rows = naive::rows(p, want, t, a, max_det);
        const std::string where = std::string(ps.what) + ", seed " + std::to_string(seed) +
                                  ", max_det " + std::to_string(max_det);
        ASSERT_EQ(got.detections.size(), rows.dets.size()) << where;
        ASSERT_EQ(got.ground_truths.size(), rows.gts.size()) << where;
        for (size_t i = 0; i < rows.dets.size(); ++i) {
          const auto& g = got.detections[i];
          const auto& w = rows.dets[i];
          ASSERT_EQ(g.image_id, w.image_id) << where << ", row " << i;
          ASSERT_EQ(g.category_id, w.category_id) << where << ", row " << i;
          ASSERT_EQ(g.dt_id, w.dt_id) << where << ", row " << i;
          ASSERT_EQ(std::memcmp(&g.score, &w.score, sizeof(double)), 0) << where << ", row " << i;
          ASSERT_EQ(g.gt_id, w.gt_id) << where << ", row " << i;
          ASSERT_EQ(g.iou, w.iou) << where << ", row " << i;
          ASSERT_EQ(g.ignore, w.ignore) << where << ", row " << i;
        }
        for (size_t i = 0; i < rows.gts.size(); ++i) {
          const auto& g = got.ground_truths[i];
          const auto& w = rows.gts[i];
          ASSERT_EQ(g.image_id, w.image_id) << where << ", row " << i;
          ASSERT_EQ(g.category_id, w.category_id) << where << ", row " << i;
          ASSERT_EQ(g.gt_id, w.gt_id) << where << ", row " << i;
          ASSERT_EQ(g.ignore, w.ignore) << where << ", row " << i;
          ASSERT_EQ(g.matched, w.matched) << where << ", row " << i;
        }
      }
    }
  }
}

}  // namespace
}  // namespace quillscore::eval
