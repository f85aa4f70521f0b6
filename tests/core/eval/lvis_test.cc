// Federated (LVIS) configuration: ground-truth ignore flags, the crowd reset
// and detections of non-exhaustively labelled (image, category) pairs.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/base/error.h"
#include "core/eval/run.h"
#include "tests/core/eval/builders.h"
#include "tests/core/eval/random_case.h"

namespace quillscore::eval {
namespace {

using namespace testkit;
using Pairs = std::vector<std::pair<int64_t, int64_t>>;

// The message of the InputError that configure_lvis throws; nullopt when it
// accepts the flags.
std::optional<std::string> configure(EngineState& st, const std::vector<uint8_t>& ignore,
                                     const Pairs& pairs) {
  try {
    configure_lvis(st, ignore, pairs);
    return std::nullopt;
  } catch (const InputError& e) {
    return e.what();
  }
}

TEST(Lvis, LengthMismatchChangesNothing) {
  const RandomCase c = random_case(5, {.max_img = 4, .max_cat = 3, .max_gt = 20, .max_dt = 30});
  ASSERT_GT(c.gts.size(), 1u);
  EvalParams p = params(c.n_img, c.n_cat);
  p.iou_thrs = coco_iou_thrs();
  p.rec_thrs = coco_rec_thrs();
  p.max_dets = {1, 10, 100};
  auto st = boxes_state(p, c.gts, c.dts);
  // Give the detections some flags first, so that "unchanged" is not "all 0".
  std::vector<uint8_t> ok(c.gts.size(), 0);
  ok[0] = 1;
  ASSERT_EQ(configure(*st, ok, {{img_id(0), cat_id(0)}, {img_id(1), cat_id(0)}}), std::nullopt);
  const AnnotationSet gt_before = st->gt;
  const std::vector<uint8_t> dt_flags_before = st->dt.unmatched_ignore;
  const auto before = run(*st, false);

  for (size_t len : {c.gts.size() - 1, c.gts.size() + 1, size_t{0}}) {
    const std::vector<uint8_t> flags(len, 1);
    const auto err = configure(*st, flags, {});
    ASSERT_TRUE(err.has_value()) << len;
    EXPECT_EQ(*err, "LVIS ignore flags do not match ground-truth length");
    EXPECT_EQ(st->gt.ignore, gt_before.ignore);
    EXPECT_EQ(st->gt.iscrowd, gt_before.iscrowd);
    EXPECT_EQ(st->dt.unmatched_ignore, dt_flags_before);
  }
  const auto after = run(*st, false);
  EXPECT_EQ(bitwise_diff(after.precision, before.precision), "");
  EXPECT_EQ(bitwise_diff(after.recall, before.recall), "");
  EXPECT_EQ(bitwise_diff(after.scores, before.scores), "");
}

TEST(Lvis, CrowdRegionsBecomeOrdinaryGroundTruths) {
  // A crowd region with two small detections inside it.
  EvalParams p = params(1, 1);
  p.rec_thrs = {0.0, 1.0};
  const std::vector<Ann> gts = {{.id = 1, .box = {0, 0, 10, 10}, .crowd = 1}};
  const std::vector<Ann> dts = {{.id = 10, .box = {0, 0, 10, 8}, .score = 0.9},
                                {.id = 11, .box = {0, 0, 10, 9}, .score = 0.8}};
  auto st = boxes_state(p, gts, dts);
  Verdicts v = per_instance(*st, 0, 0, 100);
  EXPECT_EQ(v.detections[0].iou, 1.0);  // over the detection's own area
  EXPECT_EQ(v.detections[1].gt_id, 1);  // crowds take any number
  EXPECT_EQ(recall_at(run(*st, false), 0, 0, 0, 0), -1.0);  // nothing counts

  ASSERT_EQ(configure(*st, {0}, {}), std::nullopt);
  EXPECT_EQ(st->gt.iscrowd, (std::vector<uint8_t>{0}));
  v = per_instance(*st, 0, 0, 100);
  EXPECT_EQ(v.detections[0].gt_id, 1);
  EXPECT_EQ(v.detections[0].iou, 0.8);  // over the union
  EXPECT_EQ(v.detections[0].ignore, 0);
  EXPECT_EQ(v.detections[1].gt_id, -1);  // matched once only
  EXPECT_EQ(v.detections[1].ignore, 0);
  const auto res = run(*st, false);
  EXPECT_EQ(recall_at(res, 0, 0, 0, 0), 1.0);
  EXPECT_EQ(precision_at(res, 0, 1, 0, 0, 0), 1.0 / (1.0 + 2.220446049250313e-16));

  // A later call does not bring the crowd flag back.
  ASSERT_EQ(configure(*st, {0}, {}), std::nullopt);
  EXPECT_EQ(st->gt.iscrowd, (std::vector<uint8_t>{0}));
}

TEST(Lvis, IgnoreFlagsReplaceTheIntakesAndHoldInEveryRange) {
  EvalParams p = params(1, 1);
  p.area_rng = {{0, kBig}, {0, 50}, {50, kBig}};
  // Ground truth 1 was ignored by the intake, 2 was not; the flags swap that.
  const std::vector<Ann> gts = {{.id = 1, .box = {0, 0, 10, 10}, .ignore = 1},
                                {.id = 2, .box = {20, 0, 10, 10}}};
  const std::vector<Ann> dts = {{.id = 10, .box = {20, 0, 10, 10}, .score = 0.9}};
  auto st = boxes_state(p, gts, dts);
  ASSERT_EQ(configure(*st, {0, 1}, {}), std::nullopt);
  const auto res = run(*st, true);
  // Range 1 (areas up to 50) ignores both by area; ranges 0 and 2 count only 1.
  for (size_t a : {0, 2}) {
    const EvalImageRecord* rec = record_at(res, 1, 0, a, 0);
    ASSERT_NE(rec, nullptr);
    EXPECT_EQ(rec->gt_ids, (std::vector<int64_t>{1, 2})) << a;
    EXPECT_EQ(rec->gt_ignore, (std::vector<uint8_t>{0, 1})) << a;
    EXPECT_EQ(rec->dt_matches, (std::vector<int64_t>{2})) << a;
    EXPECT_EQ(rec->dt_ignore, (std::vector<uint8_t>{1})) << a;
    EXPECT_EQ(recall_at(res, 0, 0, a, 0), 0.0) << a;
  }
  EXPECT_EQ(recall_at(res, 0, 0, 1, 0), -1.0);
}

TEST(Lvis, NonExhaustivePairsIgnoreOnlyUnmatchedDetections) {
  // Two images, two categories. Image 0 is non-exhaustive for category 0.
  EvalParams p = params(2, 2);
  p.rec_thrs = {0.0, 0.5, 1.0};
  const std::vector<Ann> gts = {{.id = 1, .img = 0, .cat = 0, .box = {0, 0, 10, 10}},
                                {.id = 2, .img = 1, .cat = 0, .box = {0, 0, 10, 10}}};
  const std::vector<Ann> dts = {
      {.id = 10, .img = 0, .cat = 0, .box = {60, 60, 5, 5}, .score = 0.95},  // unmatched, listed pair
      {.id = 11, .img = 0, .cat = 0, .box = {0, 0, 10, 10}, .score = 0.9},   // matched, listed pair
      {.id = 12, .img = 1, .cat = 0, .box = {60, 60, 5, 5}, .score = 0.85},  // unmatched, not listed
      {.id = 13, .img = 1, .cat = 0, .box = {0, 0, 10, 10}, .score = 0.8},
      {.id = 14, .img = 0, .cat = 1, .box = {60, 60, 5, 5}, .score = 0.7},   // other category
      {.id = 15, .img = kOut, .cat = 0, .box = {60, 60, 5, 5}, .score = 0.7},
      {.id = 16, .img = 0, .cat = kOut, .box = {60, 60, 5, 5}, .score = 0.7},
  };
  auto st = boxes_state(p, gts, dts);
  // Pairs are ids; duplicates and unknown ids do not matter.
  const Pairs pairs = {{img_id(0), cat_id(0)}, {img_id(0), cat_id(0)}, {999, cat_id(1)},
                       {img_id(1), 999}, {0, 0}};
  ASSERT_EQ(configure(*st, {0, 0}, pairs), std::nullopt);
  EXPECT_EQ(st->dt.unmatched_ignore, (std::vector<uint8_t>{1, 1, 0, 0, 0, 0, 0}));

  const auto res = run(*st, true);
  const EvalImageRecord* rec = record_at(res, 2, 0, 0, 0);
  ASSERT_NE(rec, nullptr);
  EXPECT_EQ(rec->dt_ids, (std::vector<int64_t>{10, 11}));
  EXPECT_EQ(rec->dt_ignore, (std::vector<uint8_t>{1, 0}));
  EXPECT_EQ(rec->dt_matches, (std::vector<int64_t>{0, 1}));
  // Slot 0 ranking: 10 (ignored), 11 hit, 12 miss, 13 hit: the ignored one
  // costs no precision, the miss on image 1 does.
  EXPECT_EQ(recall_at(res, 0, 0, 0, 0), 1.0);
  const double eps = 2.220446049250313e-16;
  EXPECT_EQ(precision_at(res, 0, 1, 0, 0, 0), 1.0 / (1.0 + eps));
  EXPECT_EQ(precision_at(res, 0, 2, 0, 0, 0), 2.0 / (3.0 + eps));

  // An empty list clears every flag; only the ground-truth flags remain.
  ASSERT_EQ(configure(*st, {0, 1}, {}), std::nullopt);
  EXPECT_EQ(st->dt.unmatched_ignore, std::vector<uint8_t>(7, 0));
  EXPECT_EQ(st->gt.ignore, (std::vector<uint8_t>{0, 1}));
}

TEST(Lvis, PooledCategoriesStillLookUpCategoryIds) {
  EvalParams p = params(1, 3);
  p.use_cats = false;
  auto st = boxes_state(p, {{.id = 1, .cat = 0, .box = {0, 0, 10, 10}}},
                        {{.id = 10, .cat = 2, .box = {60, 60, 5, 5}, .score = 0.9},
                         {.id = 11, .cat = 1, .box = {60, 60, 5, 5}, .score = 0.8}});
  ASSERT_EQ(configure(*st, {0}, {{img_id(0), cat_id(2)}}), std::nullopt);
  EXPECT_EQ(st->dt.unmatched_ignore, (std::vector<uint8_t>{1, 0}));
  const auto res = run(*st, true);
  EXPECT_EQ(res.records.at(0)->dt_ignore, (std::vector<uint8_t>{1, 0}));
}

}  // namespace
}  // namespace quillscore::eval
