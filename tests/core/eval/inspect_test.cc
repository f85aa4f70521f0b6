// Looking into an evaluation pair by pair: the similarity matrices, and one
// image evaluated at any area range and detection limit.
#include "core/eval/inspect.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "core/eval/run.h"
#include "tests/core/eval/builders.h"
#include "tests/core/eval/naive_coco.h"
#include "tests/core/eval/random_case.h"
#include "tests/core/rle/random_masks.h"

namespace quillscore::eval {
namespace {

using namespace testkit;

// The detections of image i in slot k by descending score (ties and NaN as
// evaluation ranks them), at most `cap` of them; the ground truths in intake
// order.
std::vector<size_t> ranked_dts(const RandomCase& c, size_t i, size_t k, uint64_t cap) {
  std::vector<size_t> out;
  for (size_t d = 0; d < c.dts.size(); ++d) {
    if (c.dts[d].img == i && c.dts[d].cat == k) out.push_back(d);
  }
  std::stable_sort(out.begin(), out.end(), [&](size_t a, size_t b) {
    return naive::score_before(c.dts[a].score, c.dts[b].score);
  });
  if (out.size() > cap) out.resize(cap);
  return out;
}

std::vector<size_t> gts_of(const RandomCase& c, size_t i, size_t k) {
  std::vector<size_t> out;
  for (size_t g = 0; g < c.gts.size(); ++g) {
    if (c.gts[g].img == i && c.gts[g].cat == k) out.push_back(g);
  }
  return out;
}

TEST(PairMatrices, BoxesAreTheNaiveIouOfRankedCappedDetections) {
  for (uint32_t seed = 0; seed < seeds(200); ++seed) {
    const RandomCase c = random_case(seed);
    EvalParams p = params(c.n_img, c.n_cat);
    p.max_dets = {1, seed % 3 == 0 ? 2u : 100u};
    auto st = boxes_state(p, c.gts, c.dts);
    const auto all = pair_matrices(*st);
    ASSERT_EQ(all.size(), c.n_cat);
    for (size_t k = 0; k < c.n_cat; ++k) {
      size_t next = 0;
      for (size_t i = 0; i < c.n_img; ++i) {
        const auto dts = ranked_dts(c, i, k, p.cap());
        const auto gts = gts_of(c, i, k);
        const auto one = pair_matrix(*st, img_id(i), cat_id(k));
        if (dts.empty() || gts.empty()) {
          EXPECT_FALSE(one) << "seed " << seed;
          continue;
        }
        std::vector<double> want;
        for (size_t d : dts) {
          for (size_t g : gts) want.push_back(naive::box_iou(c.dts[d].box, c.gts[g].box, c.gts[g].crowd));
        }
        ASSERT_LT(next, all[k].size()) << "seed " << seed;
        const PairMatrix& m = all[k][next++];
        EXPECT_EQ(m.image, i);
        EXPECT_EQ(m.rows, dts.size());
        EXPECT_EQ(m.cols, gts.size());
        EXPECT_EQ(bitwise_diff(m.values, want), "") << "seed " << seed;
        ASSERT_TRUE(one);
        EXPECT_EQ(bitwise_diff(one->values, want), "") << "seed " << seed;
      }
      EXPECT_EQ(next, all[k].size()) << "seed " << seed;
    }
    EXPECT_FALSE(pair_matrix(*st, img_id(c.n_img), cat_id(0)));
    EXPECT_FALSE(pair_matrix(*st, img_id(0), cat_id(c.n_cat)));
  }
}

TEST(PairMatrices, MaskEntriesAreExactEvenBelowEveryThreshold) {
  for (uint32_t seed = 0; seed < seeds(30); ++seed) {
    std::mt19937 rng(seed);
    std::vector<Ann> gts, dts;
    std::vector<rle::testref::Pixels> gpx, dpx;
    Masks gm, dm;
    for (int64_t i = 0; i < 4; ++i) {
      gts.push_back({.id = 1 + i, .crowd = static_cast<uint8_t>(i == 3)});
      gpx.push_back(rle::testref::random_blobs(rng, 20, 16));
      gm.masks.push_back(rle::testref::naive_encode(gpx.back(), 20, 16));
    }
    for (int64_t i = 0; i < 5; ++i) {
      dts.push_back({.id = 100 + i, .score = 1.0 - 0.1 * double(i)});
      dpx.push_back(rle::testref::random_blobs(rng, 20, 16));
      dm.masks.push_back(rle::testref::naive_encode(dpx.back(), 20, 16));
    }
    EvalParams p = params(1, 1);
    p.iou_thrs = {0.95};  // evaluation may skip every pair below this
    auto st = make_engine_state(p, with_geometry(box_set(gts), gm), with_geometry(box_set(dts), dm));
    const auto all = pair_matrices(*st);
    ASSERT_EQ(all.size(), 1u);
    ASSERT_EQ(all[0].size(), 1u);
    std::vector<double> want;
    for (size_t d = 0; d < dts.size(); ++d) {
      for (size_t g = 0; g < gts.size(); ++g) {
        want.push_back(rle::testref::naive_mask_iou(dpx[d], gpx[g], gts[g].crowd));
      }
    }
    EXPECT_EQ(bitwise_diff(all[0][0].values, want), "") << "seed " << seed;
  }
}

// Evaluating one image with the parameters' own range and the cap gives the
// record a run collects; with another range or fewer detections it gives the
// record of a run whose parameters had them.
TEST(EvaluateImage, IsTheRecordOfARunWithThoseParameters) {
  for (uint32_t seed = 0; seed < seeds(150); ++seed) {
    const RandomCase c = random_case(seed);
    for (const bool use_cats : {true, false}) {
      EvalParams p = params(c.n_img, c.n_cat);
      p.iou_thrs = {0.3, 0.5, 0.8};
      p.use_cats = use_cats;
      auto st = boxes_state(p, c.gts, c.dts);
      for (const uint64_t max_det : {uint64_t{1}, uint64_t{2}, uint64_t{5}, uint64_t{100}}) {
        EvalParams q = p;
        q.max_dets = {max_det};
        q.area_rng = {{0, kBig}, {10, 40}, {kNaN, kNaN}};
        const auto want = run(*boxes_state(q, c.gts, c.dts), true);
        for (size_t k = 0; k < (use_cats ? c.n_cat : 1); ++k) {
          const int64_t category = use_cats ? cat_id(k) : -1;
          for (size_t a = 0; a < q.area_rng.size(); ++a) {
            for (size_t i = 0; i < c.n_img; ++i) {
              auto got = evaluate_image(*st, img_id(i), category, q.area_rng[a], max_det);
              if (got) got->area_index = a;
              EXPECT_TRUE(same_record(got.get(), record_at(want, c.n_img, k, a, i)))
                  << "seed " << seed << " use_cats " << use_cats << " max_det " << max_det
                  << " slot " << k << " range " << a << " image " << i;
            }
          }
        }
      }
      EXPECT_FALSE(evaluate_image(*st, img_id(c.n_img), cat_id(0), {0, kBig}, 100));
      if (use_cats) {
        EXPECT_FALSE(evaluate_image(*st, img_id(0), cat_id(c.n_cat), {0, kBig}, 100));
      }
    }
  }
}

}  // namespace
}  // namespace quillscore::eval
