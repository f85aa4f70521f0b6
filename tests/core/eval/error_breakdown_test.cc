// The error breakdown on hand-made boxes whose IoUs are exact fractions: each
// error type, the IoU boundaries, crowd regions, the per-image cap, equal
// scores and the empty cases.
#include "core/eval/error_breakdown.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/base/error.h"
#include "tests/core/eval/builders.h"

namespace quillscore::eval {
namespace {

using testkit::Ann;

// A 10 x 10 ground truth at the origin; IoU with [0, 0, 10, h] is h / 10.
constexpr rle::Box kA{0, 0, 10, 10};
constexpr rle::Box kFar{100, 100, 10, 10};
rle::Box strip(double h) { return {0, 0, 10, h}; }

Ann gt(uint32_t cat, rle::Box box, uint32_t img = 0, uint8_t crowd = 0) {
  return {.id = 0, .img = img, .cat = cat, .box = box, .crowd = crowd};
}
Ann dt(uint32_t cat, rle::Box box, double score, uint32_t img = 0) {
  return {.id = 0, .img = img, .cat = cat, .box = box, .score = score};
}

ErrorBreakdown breakdown(const std::vector<Ann>& gts, const std::vector<Ann>& dts,
                         bool tidecv_ties = false, uint64_t max_dets = 100, size_t images = 2,
                         std::vector<int64_t> order = {}, ErrorLabels* labels = nullptr) {
  auto st = testkit::boxes_state(testkit::params(images, 3), gts, dts);
  if (order.empty()) {
    for (size_t i = 0; i < images; ++i) order.push_back(testkit::img_id(i));
  }
  ErrorBreakdownOptions opt;
  opt.image_order = order;
  opt.max_dets = max_dets;
  opt.tidecv_ties = tidecv_ties;
  if (labels != nullptr) *labels = error_labels(*st, opt);
  return error_breakdown(*st, opt);
}

using Counts = std::array<uint64_t, kErrorTypes>;  // Cls, Loc, Both, Dupe, Bkg, Miss

struct Case {
  std::string name;
  std::vector<Ann> gts, dts;
  Counts counts;
  double ap;
  std::array<double, kErrorTypes> main;
};

class Classified : public testing::TestWithParam<Case> {};

TEST_P(Classified, CountsAndDeltas) {
  const Case& c = GetParam();
  for (bool ties : {false, true}) {
    ErrorLabels labels;
    const ErrorBreakdown r = breakdown(c.gts, c.dts, ties, 100, 2, {}, &labels);
    EXPECT_EQ(r.counts, c.counts) << (ties ? "tidecv ties" : "stable");
    EXPECT_DOUBLE_EQ(r.ap, c.ap);
    for (size_t e = 0; e < kErrorTypes; ++e) EXPECT_DOUBLE_EQ(r.main[e], c.main[e]) << "type " << e;
    // Each counted error is one row's label: detections carry the five
    // detection types, ground truths the misses.
    Counts labelled{};
    for (uint8_t l : labels.detections) {
      if (l < kMiss) ++labelled[l];
    }
    for (uint8_t l : labels.ground_truths) labelled[kMiss] += l == kMiss;
    EXPECT_EQ(labelled, c.counts);
    ASSERT_EQ(labels.detections.size(), c.dts.size());
    ASSERT_EQ(labels.ground_truths.size(), c.gts.size());
  }
}

// Rows keep their own labels: a ground truth that a fix would claim carries
// the error of the detection that claims it; a crowd region none.
TEST(ErrorBreakdown, LabelsByRow) {
  ErrorLabels labels;
  breakdown({gt(0, kA), gt(0, kFar), gt(1, kFar, 0, 1), gt(0, kA, 1)},
            {dt(1, kA, 0.6), dt(0, strip(4), 0.9), dt(0, kFar, 0.8)}, false, 100, 2, {}, &labels);
  EXPECT_EQ(labels.detections, (std::vector<uint8_t>{kCls, kLoc, kLabelTruePositive}));
  EXPECT_EQ(labels.ground_truths, (std::vector<uint8_t>{kLoc, kLabelTruePositive, kLabelNone, kMiss}));
}

INSTANTIATE_TEST_SUITE_P(
    Boxes, Classified,
    testing::Values(
        Case{"perfect", {gt(0, kA)}, {dt(0, kA, 0.9)}, {}, 100, {}},
        // IoU 0.4 with its own class: fixing it makes the only detection right.
        Case{"loc", {gt(0, kA)}, {dt(0, strip(4), 0.9)}, {0, 1, 0, 0, 0, 0}, 0, {0, 100, 0, 0, 0, 0}},
        // The Loc band includes both ends: 0.1 and, on a taken ground truth, 0.5.
        Case{"loc_at_background_iou", {gt(0, kA)}, {dt(0, strip(1), 0.9)}, {0, 1, 0, 0, 0, 0}, 0,
             {0, 100, 0, 0, 0, 0}},
        Case{"loc_at_half_on_taken", {gt(0, kA)}, {dt(0, kA, 0.9), dt(0, strip(5), 0.8)},
             {0, 1, 0, 0, 0, 0}, 100, {}},
        Case{"dupe", {gt(0, kA)}, {dt(0, kA, 0.9), dt(0, kA, 0.8)}, {0, 0, 0, 1, 0, 0}, 100, {}},
        // Category 1 holds only a false positive (AP 0 in the mean); once
        // fixed it becomes category 0's true positive and category 1 drops out.
        Case{"cls", {gt(0, kA)}, {dt(1, kA, 0.9)}, {1, 0, 0, 0, 0, 0}, 0, {100, 0, 0, 0, 0, 0}},
        // Overlap 0.1 with another class only: background, not Both.
        Case{"bkg_at_background_iou", {gt(0, kA), gt(1, kFar)}, {dt(1, strip(1), 0.9), dt(1, kFar, 0.8)},
             {0, 0, 0, 0, 1, 1}, 25, {0, 0, 0, 0, 25, 25}},
        Case{"both", {gt(0, kA), gt(1, kFar)}, {dt(1, strip(3), 0.9), dt(1, kFar, 0.8)},
             {0, 0, 1, 0, 0, 1}, 25, {0, 0, 25, 0, 0, 25}},
        // A higher-scored Loc and a Cls error aim at the same ground truth: the
        // Loc error claims it; fixing Cls only removes the Cls detection.
        Case{"loc_wins_over_cls", {gt(0, kA)}, {dt(1, kA, 0.6), dt(0, strip(4), 0.9)},
             {1, 1, 0, 0, 0, 0}, 0, {0, 50, 0, 0, 0, 0}},
        // An image without ground truth: every detection is background.
        Case{"image_without_ground_truth", {gt(0, kA, 1)},
             {dt(0, kA, 0.9), dt(1, kA, 0.8), dt(0, kA, 0.5, 1)}, {0, 0, 0, 0, 2, 0}, 25,
             {0, 0, 0, 0, 75, 0}},
        // A crowd region absorbs a detection of its class above 0.5 (here 1,
        // intersection over the detection's area): still a Bkg error, no point.
        Case{"crowd_absorbs", {gt(0, kFar), gt(0, kA, 0, 1)}, {dt(0, strip(5), 0.95), dt(0, kFar, 0.9)},
             {0, 0, 0, 0, 1, 0}, 100, {}},
        // At exactly 0.5 it does not: the detection stays a false positive.
        Case{"crowd_at_half", {gt(0, kFar), gt(0, kA, 0, 1)},
             {dt(0, {5, 0, 10, 10}, 0.95), dt(0, kFar, 0.9)}, {0, 0, 0, 0, 1, 0}, 50,
             {0, 0, 0, 0, 50, 0}},
        // A missed ground truth in one of two images.
        Case{"miss", {gt(0, kA), gt(0, kA, 1)}, {dt(0, kA, 0.9)}, {0, 0, 0, 0, 0, 1}, 100.0 * 51 / 101,
             {0, 0, 0, 0, 0, 100 - 100.0 * 51 / 101}},
        // A Loc error covers its ground truth, which then is no Miss; a very
        // low score still claims it.
        Case{"negative_score_candidate", {gt(0, kA)}, {dt(0, strip(4), -5)}, {0, 1, 0, 0, 0, 0}, 0,
             {0, 100, 0, 0, 0, 0}},
        Case{"empty", {}, {}, {}, 0, {}},
        Case{"only_ground_truth", {gt(0, kA), gt(1, kFar, 1)}, {}, {0, 0, 0, 0, 0, 2}, 0, {}},
        Case{"only_detections", {}, {dt(0, kA, 0.5), dt(2, kA, 0.4, 1)}, {0, 0, 0, 0, 2, 0}, 0, {}}),
    [](const testing::TestParamInfo<Case>& info) { return info.param.name; });

// Two true positives and a background box, the last two at equal scores:
// nothing is missed, yet tidecv, which ranks former errors before true
// positives after a "fix", reports a negative FalseNeg.
TEST(ErrorBreakdown, EqualScoresAfterAFix) {
  const std::vector<Ann> gts{gt(0, kA), gt(0, kFar)};
  const std::vector<Ann> dts{dt(0, kA, 0.9), dt(0, kFar, 0.5), dt(0, {50, 50, 5, 5}, 0.5)};
  const ErrorBreakdown stable = breakdown(gts, dts, false);
  EXPECT_DOUBLE_EQ(stable.ap, 100);
  EXPECT_DOUBLE_EQ(stable.false_neg, 0);
  EXPECT_DOUBLE_EQ(stable.false_pos, 0);
  const ErrorBreakdown tidecv = breakdown(gts, dts, true);
  EXPECT_DOUBLE_EQ(tidecv.ap, 100);
  EXPECT_NEAR(tidecv.false_neg, (51 + 50 * (2.0 / 3)) / 101 * 100 - 100, 1e-9);
  EXPECT_DOUBLE_EQ(tidecv.false_pos, 0);
}

TEST(ErrorBreakdown, FalsePositivesRankedLast) {
  // A background box above the true positive halves precision there.
  const ErrorBreakdown r = breakdown({gt(0, kA)}, {dt(0, kFar, 0.9), dt(0, kA, 0.8)});
  EXPECT_DOUBLE_EQ(r.ap, 50);
  EXPECT_DOUBLE_EQ(r.false_pos, 50);
  EXPECT_DOUBLE_EQ(r.main[kBkg], 50);
}

TEST(ErrorBreakdown, CapCountsEveryCategoryOfAnImage) {
  // With one detection per image the better-scored background box of another
  // class crowds out the true positive, which then counts nowhere.
  const std::vector<Ann> gts{gt(0, kA)};
  const std::vector<Ann> dts{dt(1, kFar, 0.9), dt(0, kA, 0.8)};
  EXPECT_EQ(breakdown(gts, dts, false, 1).counts, (Counts{0, 0, 0, 0, 1, 1}));
  EXPECT_EQ(breakdown(gts, dts, false, 2).counts, (Counts{0, 0, 0, 0, 1, 0}));
}

TEST(ErrorBreakdown, EqualIouTargetsTheEarlierGroundTruth) {
  // A category-1 box lies exactly on a category-0 and a category-2 ground
  // truth; fixing it gives the earlier one its true positive. Category 0 has
  // a second ground truth, found at 0.8, so the two choices differ.
  const double base = (5100.0 / 101 + 0 + 0) / 3;  // categories 0, 2 and 1
  const std::vector<Ann> dts{dt(1, kA, 0.9), dt(0, kFar, 0.8)};
  const ErrorBreakdown zero_first = breakdown({gt(0, kA), gt(2, kA), gt(0, kFar)}, dts);
  EXPECT_DOUBLE_EQ(zero_first.ap, base);
  EXPECT_DOUBLE_EQ(zero_first.main[kCls], (100.0 + 0) / 2 - base);
  const ErrorBreakdown two_first = breakdown({gt(2, kA), gt(0, kA), gt(0, kFar)}, dts);
  EXPECT_DOUBLE_EQ(two_first.main[kCls], (5100.0 / 101 + 100) / 2 - base);
  EXPECT_EQ(two_first.counts, (Counts{1, 0, 0, 0, 0, 1}));
}

TEST(ErrorBreakdown, WalksOnlyTheImagesGiven) {
  const std::vector<Ann> gts{gt(0, kA, 0), gt(0, kA, 1)};
  const std::vector<Ann> dts{dt(0, kA, 0.9, 0), dt(0, kFar, 0.9, 1)};
  const ErrorBreakdown both = breakdown(gts, dts);
  EXPECT_EQ(both.counts, (Counts{0, 0, 0, 0, 1, 1}));
  // Image 1 left out (and an unknown id and a repeat passed over).
  const ErrorBreakdown first = breakdown(gts, dts, false, 100, 2, {testkit::img_id(0), 5, testkit::img_id(0)});
  EXPECT_EQ(first.counts, Counts{});
  EXPECT_DOUBLE_EQ(first.ap, 100);
}

TEST(ErrorBreakdown, OrderOfImagesDecidesEqualScores) {
  // Image 0 holds a background box, image 1 a true positive, both at 0.5.
  const std::vector<Ann> gts{gt(0, kA, 1)};
  const std::vector<Ann> dts{dt(0, kFar, 0.5, 0), dt(0, kA, 0.5, 1)};
  EXPECT_DOUBLE_EQ(breakdown(gts, dts).ap, 50);
  EXPECT_DOUBLE_EQ(breakdown(gts, dts, false, 100, 2, {testkit::img_id(1), testkit::img_id(0)}).ap, 100);
}

TEST(ErrorBreakdown, RefusesKeypoints) {
  auto p = testkit::params(1, 1);
  p.iou_type = IouType::kKeypoints;
  auto st = testkit::boxes_state(std::move(p), {gt(0, kA)}, {dt(0, kA, 1)});
  EXPECT_THROW(error_breakdown(*st, {}), InputError);
}

}  // namespace
}  // namespace quillscore::eval
