#include "core/rle/iou.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "core/rle/ops.h"
#include "tests/core/rle/random_masks.h"

namespace quillscore::rle {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kSentinel = 42.0;

// --- box_iou -----------------------------------------------------------------

struct BoxCase {
  Box dt, gt;
  bool crowd;
  double expected;  // NaN means "not a number"
};

TEST(BoxIou, PairCases) {
  const BoxCase cases[] = {
      {{0, 0, 2, 2}, {0, 0, 2, 2}, false, 1.0},
      {{0, 0, 2, 2}, {1, 0, 2, 2}, false, 2.0 / 6.0},
      {{0, 0, 2, 2}, {1, 1, 2, 2}, false, 1.0 / 7.0},
      // Boxes that only touch along an edge or a corner do not overlap.
      {{0, 0, 2, 2}, {2, 0, 2, 2}, false, 0.0},
      {{0, 0, 2, 2}, {0, 2, 2, 2}, false, 0.0},
      {{0, 0, 2, 2}, {2, 2, 2, 2}, false, 0.0},
      {{0, 0, 2, 2}, {5, 5, 1, 1}, false, 0.0},
      // Crowd: the intersection over the detection's own area.
      {{0, 0, 2, 2}, {0, 0, 4, 4}, true, 1.0},
      {{0, 0, 2, 2}, {0, 0, 4, 4}, false, 0.25},
      {{0, 0, 4, 4}, {0, 0, 2, 2}, true, 0.25},
      {{0, 0, 2, 2}, {2, 0, 4, 4}, true, 0.0},
      // Degenerate sizes.
      {{0, 0, -1, 2}, {0, 0, 2, 2}, false, 0.0},
      {{0, 0, 0, 2}, {0, 0, 2, 2}, false, 0.0},
      {{0.5, 0.5, 1, 1}, {0, 0, 2, 2}, false, 0.25},
      {{0, 0, 0, 2}, {0, 0, 0, 2}, false, 0.0},
      {{0, 0, 0, 2}, {0, 0, 2, 2}, true, 0.0},
      // The union is (detection area + ground-truth area) - intersection, in
      // that order; regrouping changes the last bit here.
      {{0, 0, 0.3, 1.3}, {0.1, 0.3, 0.3, 0.7}, false, 0.30434782608695654},
      // min and max ignore a NaN operand: a NaN left edge leaves the other
      // box's edges, so the overlap is the ground truth's own extent.
      {{kNaN, 0, 2, 2}, {0, 0, 2, 2}, false, 1.0},
      {{0, 0, 2, 2}, {kNaN, 0, 2, 2}, false, 1.0},
      // A NaN width still gives an overlap; the detection's area is NaN.
      {{0, 0, kNaN, 2}, {0, 0, 2, 2}, false, kNaN},
      {{0, 0, kNaN, 2}, {0, 0, 2, 2}, true, kNaN},
      // A NaN ground-truth area only matters without the crowd rule.
      {{0, 0, 2, 2}, {0, 0, kNaN, 2}, false, kNaN},
      {{0, 0, 2, 2}, {0, 0, kNaN, 2}, true, 1.0},
      // Both left edges NaN: the overlap width itself is NaN, which is not <= 0.
      {{kNaN, 0, 2, 2}, {kNaN, 0, 2, 2}, false, kNaN},
      {{kNaN, 0, 2, 2}, {kNaN, 5, 2, 2}, false, 0.0},
  };
  int index = 0;
  for (const auto& c : cases) {
    const uint8_t crowd[] = {static_cast<uint8_t>(c.crowd)};
    double out = kSentinel;
    box_iou({&c.dt, 1}, {&c.gt, 1}, crowd, {&out, 1});
    if (std::isnan(c.expected)) {
      EXPECT_TRUE(std::isnan(out)) << "case " << index << " gave " << out;
    } else {
      EXPECT_EQ(out, c.expected) << "case " << index;
    }
    ++index;
  }
}

TEST(BoxIou, MatrixLayoutAndShortCrowdList) {
  const std::vector<Box> dt = {{0, 0, 2, 2}, {0, 0, 1, 1}};
  const std::vector<Box> gt = {{0, 0, 4, 4}, {0, 0, 4, 4}, {10, 10, 1, 1}};
  // Only the first ground truth has a flag; the others are beyond the list.
  const std::vector<uint8_t> crowd = {1};
  std::vector<double> out(dt.size() * gt.size() + 2, kSentinel);
  box_iou(dt, gt, crowd, std::span(out).first(6));
  const std::vector<double> expected = {1.0, 4.0 / 16.0, 0.0,  // detection 0
                                        1.0, 1.0 / 16.0, 0.0,  // detection 1
                                        kSentinel, kSentinel};
  EXPECT_EQ(out, expected);

  // A flag byte of any non-zero value is crowd.
  const std::vector<uint8_t> crowd2 = {0, 200, 0, 1};
  box_iou(dt, gt, crowd2, std::span(out).first(6));
  EXPECT_EQ(out[1], 1.0);
  EXPECT_EQ(out[0], 0.25);
}

TEST(BoxIou, EmptyListsWriteNothing) {
  const std::vector<Box> boxes = {{0, 0, 1, 1}};
  std::vector<double> out(4, kSentinel);
  box_iou({}, boxes, {}, out);
  box_iou(boxes, {}, {}, out);
  box_iou({}, {}, {}, out);
  EXPECT_EQ(out, std::vector<double>(4, kSentinel));
}

// --- rle_iou -----------------------------------------------------------------

std::vector<const Rle*> refs(const std::vector<Rle>& masks) {
  std::vector<const Rle*> r;
  for (const auto& m : masks) r.push_back(&m);
  return r;
}

std::vector<double> mask_iou(const std::vector<Rle>& dt, const std::vector<Rle>& gt,
                             const std::vector<uint8_t>& crowd, double theta) {
  std::vector<double> out(dt.size() * gt.size(), kSentinel);
  rle_iou(refs(dt), refs(gt), crowd, theta, out);
  return out;
}

TEST(RleIou, SmallCases) {
  // 4 x 4 image; column-major pixel order.
  const Rle full{4, 4, {0, 16}};
  const Rle left_half{4, 4, {0, 8, 8}};
  const Rle top_left{4, 4, {0, 2, 2, 2, 10}};   // rows 0-1, columns 0-1
  const Rle bottom_right{4, 4, {10, 2, 2, 2}};  // rows 2-3, columns 2-3
  const Rle empty{4, 4, {16}};
  const Rle other_size{4, 5, {0, 20}};
  const Rle no_counts{4, 4, {}};
  const Rle empty_record{};

  struct Case {
    Rle dt, gt;
    bool crowd;
    double expected;
  };
  const Case cases[] = {
      {full, full, false, 1.0},
      {left_half, full, false, 0.5},
      {full, left_half, false, 0.5},
      {top_left, left_half, false, 0.5},
      {top_left, bottom_right, false, 0.0},
      // A detection inside a crowd region matches it fully.
      {top_left, full, true, 1.0},
      {left_half, top_left, true, 0.5},
      {full, left_half, true, 0.5},
      {empty, full, false, 0.0},
      {full, empty, false, 0.0},
      // Different sizes: -1 where the boxes overlap, 0 where they do not.
      {full, other_size, false, -1.0},
      {other_size, top_left, true, -1.0},
      {Rle{8, 8, {36, 2, 26}}, top_left, false, 0.0},
      // No counts, or the empty record, never overlap anything.
      {no_counts, full, false, 0.0},
      {full, empty_record, false, 0.0},
      {empty_record, empty_record, false, 0.0},
  };
  int index = 0;
  for (const auto& c : cases) {
    for (double theta : {0.0, 0.3}) {
      const auto out = mask_iou({c.dt}, {c.gt}, {static_cast<uint8_t>(c.crowd)}, theta);
      const bool pruned = theta > 0 && c.expected >= 0 && c.expected < theta;
      const double expected = pruned ? 0.0 : c.expected;
      EXPECT_EQ(out[0], expected) << "case " << index << " theta " << theta;
    }
    ++index;
  }
}

TEST(RleIou, WalkEndsWhereBothMasksHaveAnEmptyRun) {
  // Both run lists reach an empty run at the same pixel: the side-by-side
  // walk stops after the step in which both are used up (as rle_merge does),
  // so the pixels after that step are not counted.
  const Rle dt{5, 1, {1, 1, 0, 1, 2}};  // pixels 0 1 1 0 0
  const Rle gt{5, 1, {1, 1, 0, 2, 1}};  // pixels 0 1 1 1 0
  // Walked: intersection 1, union 1; the crowd rule divides by the area, 2.
  EXPECT_EQ(mask_iou({dt}, {gt}, {0}, 0.0)[0], 1.0);
  EXPECT_EQ(mask_iou({dt}, {gt}, {1}, 0.0)[0], 0.5);
  EXPECT_EQ(rle_merge(std::vector<Rle>{dt, gt}, false), (Rle{5, 1, {1, 1}}));
}

TEST(RleIou, EmptyListsWriteNothing) {
  const std::vector<Rle> masks = {Rle{2, 2, {0, 4}}};
  std::vector<double> out(2, kSentinel);
  rle_iou(refs(masks), {}, {}, 0.0, out);
  rle_iou({}, refs(masks), {}, 0.0, out);
  EXPECT_EQ(out, std::vector<double>(2, kSentinel));
}

const std::pair<uint32_t, uint32_t> kIouSizes[] = {{1, 1}, {1, 10}, {10, 1}, {6, 6},
                                                   {20, 15}, {48, 64}};

// Exact values from pixels: pairs of one size by dense counting, pairs of
// different sizes by whether their pixel boxes overlap.
std::vector<double> dense_iou(const std::vector<Rle>& dt, const std::vector<Rle>& gt,
                              const std::vector<uint8_t>& crowd) {
  std::vector<double> out(dt.size() * gt.size());
  for (size_t g = 0; g < gt.size(); ++g) {
    const auto gpx = testref::naive_decode(gt[g]);
    const bool is_crowd = g < crowd.size() && crowd[g];
    for (size_t d = 0; d < dt.size(); ++d) {
      const auto dpx = testref::naive_decode(dt[d]);
      double& o = out[d * gt.size() + g];
      if (dt[d].height == gt[g].height && dt[d].width == gt[g].width) {
        o = testref::naive_mask_iou(dpx, gpx, is_crowd);
      } else {
        const Box a = testref::naive_bbox(dpx, dt[d].height, dt[d].width);
        const Box b = testref::naive_bbox(gpx, gt[g].height, gt[g].width);
        const bool overlap = std::min(a[0] + a[2], b[0] + b[2]) > std::max(a[0], b[0]) &&
                             std::min(a[1] + a[3], b[1] + b[3]) > std::max(a[1], b[1]);
        o = overlap ? -1.0 : 0.0;
      }
    }
  }
  return out;
}

TEST(RleIou, MatchesDenseCountingOnRandomMasks) {
  std::mt19937 rng(21);
  for (auto [h, w] : kIouSizes) {
    for (int iter = 0; iter < 30; ++iter) {
      std::vector<Rle> dt(rng() % 7), gt(rng() % 7);
      for (auto& m : dt) m = testref::random_mask(rng, h, w);
      for (auto& m : gt) m = testref::random_mask(rng, h, w);
      if (rng() % 3 == 0) {
        // Some masks of another size among them.
        if (!gt.empty()) gt[rng() % gt.size()] = testref::random_mask(rng, h + 1, w);
        if (!dt.empty()) dt[rng() % dt.size()] = testref::random_mask(rng, h, w + 2);
      } else {
        // Runs of ones split by empty runs, on the detection side only (see
        // the merge tests). Empty runs of ones would mark unset pixels for
        // the boxes, which decide whether a pair is walked at all.
        for (auto& m : dt) {
          if (rng() % 4 == 0) m.counts = testref::with_empty_runs(rng, m.counts, true);
        }
      }
      // Crowd flags for a prefix of the ground truths only.
      std::vector<uint8_t> crowd(rng() % (gt.size() + 1));
      for (auto& c : crowd) c = rng() % 2 ? static_cast<uint8_t>(1 + rng() % 255) : 0;

      const auto exact = mask_iou(dt, gt, crowd, 0.0);
      ASSERT_EQ(exact, dense_iou(dt, gt, crowd)) << h << "x" << w << " iteration " << iter;
      // No pruning for a threshold that is not positive.
      ASSERT_EQ(mask_iou(dt, gt, crowd, -0.5), exact);
      ASSERT_EQ(mask_iou(dt, gt, crowd, kNaN), exact);
    }
  }
}

TEST(RleIou, PruningOnlyZeroesValuesBelowTheThreshold) {
  std::mt19937 rng(22);
  int pruned = 0, kept = 0;
  for (auto [h, w] : kIouSizes) {
    for (int iter = 0; iter < 40; ++iter) {
      std::vector<Rle> dt(1 + rng() % 6), gt(1 + rng() % 6);
      for (auto& m : dt) m = testref::random_mask(rng, h, w);
      for (auto& m : gt) m = testref::random_mask(rng, h, w);
      if (rng() % 3 == 0) gt[rng() % gt.size()] = testref::random_mask(rng, h, w + 1);
      std::vector<uint8_t> crowd(rng() % (gt.size() + 1));
      for (auto& c : crowd) c = rng() % 2;
      const auto exact = mask_iou(dt, gt, crowd, 0.0);
      // Boxes and areas handed in; and one PairIou asked pair by pair, each
      // pair at a theta of its own, after the run lists of earlier pairs.
      std::vector<Box> dbox, gbox;
      std::vector<uint32_t> darea, garea;
      for (const auto& m : dt) dbox.push_back(rle_bbox(m)), darea.push_back(rle_area(m));
      for (const auto& m : gt) gbox.push_back(rle_bbox(m)), garea.push_back(rle_area(m));
      const auto dref = refs(dt), gref = refs(gt);  // PairIou keeps views of them
      PairIou pairs(dref, gref, crowd, {dbox, darea}, {});
      const std::array thetas{1e-9, 0.1, 0.5, 0.75, 0.99, 1.0, 2.0};
      for (double theta : thetas) {
        const auto got = mask_iou(dt, gt, crowd, theta);
        std::vector<double> given(got.size(), kSentinel);
        rle_iou(refs(dt), refs(gt), crowd, theta, given, {dbox, darea}, {gbox, garea});
        ASSERT_EQ(given, got) << "theta " << theta;
        // Detection masks made on demand: the same values, each mask made at
        // most once, and only where a ground truth's box overlaps its box.
        std::vector<double> lazy(got.size(), kSentinel);
        std::vector<int> made(dt.size(), 0);
        const std::vector<const Rle*> none(dt.size(), nullptr);
        rle_iou(none, refs(gt), crowd, theta, lazy, {dbox, darea}, {gbox, garea},
                [&](size_t d) { return ++made[d], dt[d]; });
        ASSERT_EQ(lazy, got) << "theta " << theta;
        for (size_t d = 0; d < dt.size(); ++d) {
          bool overlaps = false;
          for (const Box& b : gbox) {
            const Box& a = dbox[d];
            overlaps |= std::min(a[0] + a[2], b[0] + b[2]) > std::max(a[0], b[0]) &&
                        std::min(a[1] + a[3], b[1] + b[3]) > std::max(a[1], b[1]);
          }
          ASSERT_LE(made[d], overlaps ? 1 : 0) << "detection " << d;
        }
        for (size_t e = 0; e < exact.size(); ++e) {
          const double own = thetas[rng() % thetas.size()];
          const double v = pairs(e / gt.size(), e % gt.size(), own);
          ASSERT_TRUE(v == exact[e] || (v == 0.0 && exact[e] < own)) << "entry " << e << " theta " << own;
          if (got[e] == exact[e]) {
            kept += exact[e] > 0;
            continue;
          }
          ASSERT_EQ(got[e], 0.0) << "entry " << e << " theta " << theta;
          ASSERT_LT(exact[e], theta) << "entry " << e << " pruned although its IoU reaches theta";
          ++pruned;
        }
      }
    }
  }
  // The property is only worth something if both branches are exercised.
  EXPECT_GT(pruned, 50);
  EXPECT_GT(kept, 50);
}

TEST(RleIou, InconsistentSumsTerminate) {
  std::mt19937 rng(23);
  testref::expect_terminates(
      [&] {
        for (int iter = 0; iter < 5000; ++iter) {
          std::vector<Rle> dt(1 + rng() % 3), gt(1 + rng() % 3);
          for (auto* side : {&dt, &gt}) {
            for (auto& m : *side) {
              m.height = 4;
              m.width = 4;
              m.counts.resize(1 + rng() % 8);
              for (auto& c : m.counts) {
                c = (rng() % 10 == 0) ? static_cast<uint32_t>(rng()) : rng() % 9;
              }
            }
          }
          const std::vector<uint8_t> crowd = {static_cast<uint8_t>(rng() % 2)};
          (void)mask_iou(dt, gt, crowd, (rng() % 2) ? 0.0 : 0.5);
        }
      },
      "rle_iou on masks whose counts disagree");
}

}  // namespace
}  // namespace quillscore::rle
