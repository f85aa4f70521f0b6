// Ranking, capping and the similarity matrices of each image group.
#include "core/eval/similarity.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/eval/run.h"
#include "core/rle/ops.h"
#include "tests/core/eval/builders.h"
#include "tests/core/eval/naive_coco.h"
#include "tests/reference/rle.h"

namespace quillscore::eval {
namespace {

// Box rows held elsewhere, as a compact store shares them.
SharedBoxes shared_boxes(std::vector<rle::Box> boxes) {
  auto owner = std::make_shared<const std::vector<rle::Box>>(std::move(boxes));
  return SharedBoxes{std::shared_ptr<const rle::Box>(owner, owner->data()), owner->size()};
}


using namespace testkit;
constexpr double kInf = std::numeric_limits<double>::infinity();

Similarities slot_similarity(const EngineState& st, uint32_t k) {
  const auto pairs = group::pair_groups(st.gt_index, st.dt_index, k);
  return compute_similarity(st, pairs);
}

// The first group's first entry; NaN when there is none.
double first_entry(const Similarities& sims) {
  return sims.size() == 0 || sims[0].matrix.empty() ? std::nan("") : sims[0].matrix[0];
}

// Detection ids in rank order.
std::vector<int64_t> ranked_ids(const EngineState& st, const GroupSimilarity& s) {
  std::vector<int64_t> out;
  for (uint32_t d : s.ranked) out.push_back(st.dt.ids.at(d));
  return out;
}

// --- ranking and the cap --------------------------------------------------------

struct RankCase {
  const char* what;
  std::vector<double> scores;  // detection i has id i
  std::vector<int64_t> ranked;
};

TEST(Similarity, RanksByScoreWithStableTiesAndNaNLast) {
  const RankCase cases[] = {
      {"descending", {0.1, 0.9, 0.5}, {1, 2, 0}},
      {"ties keep intake order", {0.5, 0.9, 0.5, 0.5}, {1, 0, 2, 3}},
      {"NaN after every number", {kNaN, 0.5, kNaN, -kInf, 0.9}, {4, 1, 3, 0, 2}},
      {"all NaN keep intake order", {kNaN, kNaN, kNaN}, {0, 1, 2}},
      {"infinities rank as numbers", {kInf, -kInf, 0.0, kInf}, {0, 3, 2, 1}},
      {"negative zero ties with zero", {0.0, -0.0, 0.0}, {0, 1, 2}},
  };
  for (const RankCase& c : cases) {
    std::vector<Ann> dts;
    for (size_t i = 0; i < c.scores.size(); ++i) {
      dts.push_back({.id = static_cast<int64_t>(i), .score = c.scores[i]});
    }
    auto st = boxes_state(params(1, 1), {}, dts);
    const auto sims = slot_similarity(*st, 0);
    ASSERT_EQ(sims.size(), 1u) << c.what;
    EXPECT_EQ(ranked_ids(*st, sims[0]), c.ranked) << c.what;

    // rank_by_score on its own agrees.
    std::vector<uint32_t> idx;
    for (size_t i = 0; i < c.scores.size(); ++i) idx.push_back(static_cast<uint32_t>(i));
    rank_by_score(idx, c.scores);
    EXPECT_EQ(std::vector<int64_t>(idx.begin(), idx.end()), c.ranked) << c.what;
  }
}

TEST(Similarity, PooledTiesFollowCategoryThenIntakeOrder) {
  EvalParams p = params(1, 3);
  p.use_cats = false;
  auto st = boxes_state(p, {},
                        {{.id = 1, .cat = 2, .score = 0.5},
                         {.id = 2, .cat = 0, .score = 0.5},
                         {.id = 3, .cat = 1, .score = 0.7},
                         {.id = 4, .cat = 0, .score = 0.5},
                         {.id = 5, .cat = 1, .score = 0.5}});
  const auto sims = slot_similarity(*st, 0);
  ASSERT_EQ(sims.size(), 1u);
  EXPECT_EQ(ranked_ids(*st, sims[0]), (std::vector<int64_t>{3, 2, 4, 5, 1}));
}

TEST(Similarity, KeepsTheBestDetectionsUpToTheLastMaxDetsEntry) {
  struct Case {
    std::vector<uint64_t> max_dets;
    size_t kept;
  };
  const Case cases[] = {{{1, 10, 100}, 100}, {{100, 1, 10}, 10}, {{}, 0},
                        {{0}, 0},            {{500}, 150},       {{3, 1}, 1}};
  std::vector<Ann> dts;
  // Scores descend with the id, but intake is shuffled.
  for (int i = 0; i < 150; ++i) dts.push_back({.id = i, .box = {0, 0, 4, 4}, .score = 1.0 - i / 1000.0});
  std::mt19937 rng(11);
  std::shuffle(dts.begin(), dts.end(), rng);
  for (const Case& c : cases) {
    EvalParams p = params(1, 1);
    p.max_dets = c.max_dets;
    auto st = boxes_state(p, {{.id = 1, .box = {0, 0, 4, 4}}}, dts);
    const auto sims = slot_similarity(*st, 0);
    ASSERT_EQ(sims.size(), 1u);
    const auto ids = ranked_ids(*st, sims[0]);
    ASSERT_EQ(ids.size(), c.kept) << ::testing::PrintToString(c.max_dets);
    for (size_t i = 0; i < ids.size(); ++i) EXPECT_EQ(ids[i], static_cast<int64_t>(i));
    EXPECT_EQ(sims[0].matrix.size(), c.kept);
  }
}

// --- box IoU -------------------------------------------------------------------

struct BoxIouCase {
  const char* what;
  rle::Box dt, gt;
  uint8_t crowd;
  double expected;
};

TEST(Similarity, BoxIouEntries) {
  const BoxIouCase cases[] = {
      {"identical", {1, 1, 4, 4}, {1, 1, 4, 4}, 0, 1.0},
      {"half overlap", {0, 0, 4, 4}, {2, 0, 4, 4}, 0, 8.0 / 24.0},
      {"touching along an edge", {0, 0, 4, 4}, {4, 0, 4, 4}, 0, 0.0},
      {"touching at a corner", {0, 0, 4, 4}, {4, 4, 4, 4}, 0, 0.0},
      {"inside a crowd region, whatever its size", {10, 10, 2, 2}, {0, 0, 1000, 1000}, 1, 1.0},
      {"inside the same region without crowd", {10, 10, 2, 2}, {0, 0, 100, 100}, 0, 4.0 / 10000.0},
      {"crowd divides by the detection's area", {0, 0, 4, 4}, {2, 0, 4, 4}, 1, 0.5},
      {"crowd, touching", {0, 0, 4, 4}, {4, 0, 4, 4}, 1, 0.0},
  };
  for (const BoxIouCase& c : cases) {
    // The areas column disagrees with the boxes: only the boxes count.
    auto st = boxes_state(params(1, 1), {{.id = 1, .box = c.gt, .area = 1.0, .crowd = c.crowd}},
                          {{.id = 2, .box = c.dt, .area = 7.0}});
    const auto sims = slot_similarity(*st, 0);
    ASSERT_EQ(sims.size(), 1u);
    ASSERT_EQ(sims[0].matrix.size(), 1u) << c.what;
    EXPECT_EQ(sims[0].matrix[0], c.expected) << c.what;
  }
}

TEST(Similarity, MatrixRowsFollowRankAndColumnsGroupOrder) {
  // Ground truths in intake order 0..2; detections ranked 3, 1, 0, 2.
  const std::vector<Ann> gts = {{.id = 1, .box = {0, 0, 10, 10}},
                                {.id = 2, .box = {5, 0, 10, 10}, .crowd = 1},
                                {.id = 3, .box = {0, 5, 10, 20}}};
  const std::vector<Ann> dts = {{.id = 10, .box = {0, 0, 8, 8}, .score = 0.3},
                                {.id = 11, .box = {4, 4, 8, 8}, .score = 0.6},
                                {.id = 12, .box = {20, 20, 3, 3}, .score = 0.1},
                                {.id = 13, .box = {1, 2, 12, 12}, .score = 0.9}};
  // Shared boxes on one side and owned boxes on the other pair as boxes.
  for (bool shared : {false, true}) {
    AnnotationSet dset = box_set(dts);
    if (shared) {
      dset.geometry = shared_boxes(std::get<Boxes>(dset.geometry).boxes);
    }
    auto st = make_engine_state(params(1, 1), box_set(gts), std::move(dset));
    const auto sims = slot_similarity(*st, 0);
    ASSERT_EQ(sims.size(), 1u);
    const std::vector<size_t> rank = {3, 1, 0, 2};
    ASSERT_EQ(sims[0].matrix.size(), 12u);
    for (size_t d = 0; d < 4; ++d) {
      for (size_t g = 0; g < 3; ++g) {
        EXPECT_EQ(sims[0].matrix[d * 3 + g],
                  naive::box_iou(dts[rank[d]].box, gts[g].box, gts[g].crowd))
            << "rank " << d << ", ground truth " << g << (shared ? ", shared" : "");
      }
    }
  }
}

TEST(Similarity, GroupsWithOneSideOnlyHaveEmptyMatrices) {
  auto st = boxes_state(params(3, 1), {{.id = 1, .img = 0}, {.id = 2, .img = 2}},
                        {{.id = 3, .img = 1}, {.id = 4, .img = 2}});
  const auto sims = slot_similarity(*st, 0);
  ASSERT_EQ(sims.size(), 3u);
  EXPECT_EQ(sims[0].image, 0u);
  EXPECT_EQ(sims[0].gts.size(), 1u);
  EXPECT_TRUE(sims[0].ranked.empty());
  EXPECT_TRUE(sims[0].matrix.empty());
  EXPECT_EQ(sims[1].image, 1u);
  EXPECT_TRUE(sims[1].gts.empty());
  EXPECT_EQ(sims[1].ranked.size(), 1u);
  EXPECT_TRUE(sims[1].matrix.empty());
  EXPECT_EQ(sims[2].matrix.size(), 1u);
}

// --- mask IoU ------------------------------------------------------------------

TEST(Similarity, PruningThreshold) {
  struct Case {
    std::vector<double> thrs;
    double expected;
  };
  const Case cases[] = {
      {{0.5, 0.75, 0.95}, 0.5},   {{0.9, 0.3, 0.6}, 0.3},       {{kNaN, 0.7, 0.6}, 0.6},
      {{}, 0.9999999999},         {{kNaN, kNaN}, 0.9999999999}, {{1.0}, 0.9999999999},
      {{1.5, 2.0}, 0.9999999999}, {{-0.2, 0.5}, 0.0},           {{0.0}, 0.0},
      {{kNaN, -kInf}, 0.0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(pruning_threshold(c.thrs), c.expected) << ::testing::PrintToString(c.thrs);
  }
}

rle::Rle dense_mask(const rle::testref::Pixels& px, uint32_t h, uint32_t w) {
  return rle::testref::naive_encode(px, h, w);
}

// Random blobs on a 24 x 16 image.
rle::testref::Pixels random_blob(std::mt19937& rng) {
  rle::testref::Pixels px(24 * 16, 0);
  const int x0 = rng() % 12, y0 = rng() % 18, w = 1 + rng() % 8, h = 1 + rng() % 8;
  for (int x = x0; x < std::min(16, x0 + w); ++x) {
    for (int y = y0; y < std::min(24, y0 + h); ++y) px[x * 24 + y] = 1;
  }
  for (int i = 0; i < 10; ++i) px[rng() % px.size()] ^= 1;
  return px;
}

TEST(Similarity, MaskIouAgainstPixelCounts) {
  for (const std::vector<double>& thrs :
       {std::vector<double>{0.5, 0.7}, {kNaN, 0.2}, {0.0}, {}, {1.0}}) {
    const double theta = pruning_threshold(thrs);
    for (uint32_t seed = 0; seed < 20; ++seed) {
      std::mt19937 rng(seed);
      const size_t n_gt = 1 + rng() % 5, n_dt = 1 + rng() % 6;
      std::vector<Ann> gts, dts;
      std::vector<rle::testref::Pixels> gpx, dpx;
      Masks gm, dm;
      for (size_t i = 0; i < n_gt; ++i) {
        gts.push_back({.id = static_cast<int64_t>(i), .crowd = static_cast<uint8_t>(rng() % 4 == 0)});
        gpx.push_back(random_blob(rng));
        gm.masks.push_back(dense_mask(gpx.back(), 24, 16));
      }
      for (size_t i = 0; i < n_dt; ++i) {
        dts.push_back({.id = static_cast<int64_t>(100 + i), .score = double(rng() % 5)});
        dpx.push_back(i == 0 ? gpx[0] : random_blob(rng));  // one exact copy
        dm.masks.push_back(dense_mask(dpx.back(), 24, 16));
      }
      EvalParams p = params(1, 1);
      p.iou_thrs = thrs;
      auto st = make_engine_state(p, with_geometry(box_set(gts), gm), with_geometry(box_set(dts), dm));
      const auto sims = slot_similarity(*st, 0);
      ASSERT_EQ(sims.size(), 1u);
      const GroupSimilarity& s = sims[0];
      for (size_t d = 0; d < n_dt; ++d) {
        const uint32_t det = s.ranked[d];
        for (size_t g = 0; g < n_gt; ++g) {
          const double exact = rle::testref::naive_mask_iou(dpx[det], gpx[g], gts[g].crowd);
          const double got = s.matrix[d * n_gt + g];
          if (exact >= theta) {
            EXPECT_EQ(got, exact) << "seed " << seed << " d " << d << " g " << g;
          } else {
            // Below the smallest threshold the entry may be pruned to 0.
            EXPECT_TRUE(got == exact || got == 0.0)
                << "seed " << seed << " d " << d << " g " << g << ": " << got << " vs " << exact;
          }
        }
      }
    }
  }
}

TEST(Similarity, MaskIouOfDifferentSizesIsMinusOneWhereBoxesOverlap) {
  rle::testref::Pixels full(8 * 8, 1);
  rle::testref::Pixels corner(6 * 6, 0);
  corner[0] = 1;
  rle::testref::Pixels far(10 * 10, 0);
  far[99] = 1;  // row 9, column 9: beyond the 8 x 8 mask
  EvalParams p = params(1, 1);
  p.iou_thrs = {0.0};
  auto st = make_engine_state(
      p, with_geometry(box_set({{.id = 1}}), Masks{{dense_mask(full, 8, 8)}}),
      with_geometry(box_set({{.id = 2, .score = 0.9}, {.id = 3, .score = 0.5}}),
                    Masks{{dense_mask(corner, 6, 6), dense_mask(far, 10, 10)}}));
  const auto sims = slot_similarity(*st, 0);
  ASSERT_EQ(sims[0].matrix.size(), 2u);
  EXPECT_EQ(sims[0].matrix[0], -1.0);
  EXPECT_EQ(sims[0].matrix[1], 0.0);
}

// --- boundary IoU --------------------------------------------------------------

// A 10 x 10 mask of columns [c0, c1).
rle::Rle columns(int c0, int c1) {
  rle::testref::Pixels px(100, 0);
  for (int x = c0; x < c1; ++x) {
    for (int y = 0; y < 10; ++y) px[x * 10 + y] = 1;
  }
  return dense_mask(px, 10, 10);
}
rle::Rle column_set(std::initializer_list<int> cols) {
  rle::testref::Pixels px(100, 0);
  for (int x : cols) {
    for (int y = 0; y < 10; ++y) px[x * 10 + y] = 1;
  }
  return dense_mask(px, 10, 10);
}

TEST(Similarity, BoundaryIouIsTheLesserOfMaskAndBandExceptForCrowds) {
  // Ground truth: columns 0-4, band columns 0 and 4. Detection: columns
  // 0-3; its mask IoU is 40/50 = 0.8.
  struct Case {
    const char* what;
    rle::Rle dt_band;
    uint8_t crowd;
    double expected;
  };
  const Case cases[] = {
      {"band IoU lower: 10/30", column_set({0, 3}), 0, 10.0 / 30.0},
      {"band IoU higher: the mask IoU", column_set({0, 4}), 0, 0.8},
      {"crowd keeps its mask IoU (40/40)", column_set({0, 3}), 1, 1.0},
      {"crowd keeps its mask IoU even with disjoint bands", column_set({7}), 1, 1.0},
  };
  for (const Case& c : cases) {
    EvalParams p = params(1, 1);
    p.iou_thrs = {0.0};
    auto st = make_engine_state(
        p,
        with_geometry(box_set({{.id = 1, .crowd = c.crowd}}),
                      BoundaryMasks{{columns(0, 5)}, {column_set({0, 4})}}),
        with_geometry(box_set({{.id = 2}}), BoundaryMasks{{columns(0, 4)}, {c.dt_band}}));
    const auto sims = slot_similarity(*st, 0);
    ASSERT_EQ(sims[0].matrix.size(), 1u);
    EXPECT_EQ(sims[0].matrix[0], c.expected) << c.what;
  }
}

// --- keypoint similarity -------------------------------------------------------

struct KpAnn {
  std::vector<double> xyv;  // 3 per keypoint
  rle::Box box;
  double area;
};

// The keypoint similarity as the formula reads, summed left to right.
double plain_oks(const std::vector<double>& d, const KpAnn& g, const std::vector<double>& sigmas,
                 bool use_area) {
  const size_t k = sigmas.size();
  size_t visible = 0;
  for (size_t i = 0; i < k; ++i) visible += g.xyv[3 * i + 2] > 0;
  const double s = (use_area ? g.area : g.box[2] * g.box[3] * 0.53) + 2.220446049250313e-16;
  double sum = 0;
  size_t n = 0;
  for (size_t i = 0; i < k; ++i) {
    double dx, dy;
    if (visible > 0) {
      if (g.xyv[3 * i + 2] <= 0) continue;
      dx = d[3 * i] - g.xyv[3 * i];
      dy = d[3 * i + 1] - g.xyv[3 * i + 1];
    } else {
      const auto [x, y, w, h] = g.box;
      dx = std::max(0.0, (x - w) - d[3 * i]) + std::max(0.0, d[3 * i] - (x + 2 * w));
      dy = std::max(0.0, (y - h) - d[3 * i + 1]) + std::max(0.0, d[3 * i + 1] - (y + 2 * h));
    }
    const double var = (2 * sigmas[i]) * (2 * sigmas[i]);
    sum += std::exp(-((dx * dx + dy * dy) / var / s / 2));
    ++n;
  }
  return sum / static_cast<double>(n);
}

std::unique_ptr<EngineState> keypoint_state(const std::vector<KpAnn>& gts,
                                            const std::vector<std::vector<double>>& dts,
                                            std::vector<double> sigmas, bool use_area,
                                            uint32_t count) {
  EvalParams p = params(1, 1);
  p.kpt_sigmas = std::move(sigmas);
  p.use_area = use_area;
  p.iou_type = IouType::kKeypoints;
  std::vector<Ann> ga, da;
  Keypoints gk{{}, count}, dk{{}, count};
  for (size_t i = 0; i < gts.size(); ++i) {
    ga.push_back({.id = static_cast<int64_t>(1 + i), .box = gts[i].box, .area = gts[i].area});
    gk.values.insert(gk.values.end(), gts[i].xyv.begin(), gts[i].xyv.end());
  }
  for (size_t i = 0; i < dts.size(); ++i) {
    da.push_back({.id = static_cast<int64_t>(100 + i), .score = 1.0 - 0.1 * double(i)});
    dk.values.insert(dk.values.end(), dts[i].begin(), dts[i].end());
  }
  AnnotationSet g = with_geometry(box_set(ga), gk), d = with_geometry(box_set(da), dk);
  for (const KpAnn& a : gts) g.boxes.push_back(a.box);
  return make_engine_state(std::move(p), std::move(g), std::move(d));
}

TEST(Similarity, KeypointSimilarity) {
  const std::vector<double> sigmas = {0.05, 0.1, 0.07};
  const std::vector<KpAnn> gts = {
      {{10, 10, 2, 20, 20, 2, 30, 10, 1}, {5, 5, 30, 20}, 400},  // all visible
      {{10, 10, 2, 20, 20, 0, 30, 10, 1}, {5, 5, 30, 20}, 250},  // middle one hidden
      {{0, 0, 0, 0, 0, 0, 0, 0, 0}, {20, 20, 10, 6}, 60},        // none visible
      {{11, 12, 2, 0, 0, 0, 0, 0, 0}, {0, 0, 4, 4}, 0},          // zero area
  };
  // The detections' own visibility values are never read.
  const std::vector<std::vector<double>> dts = {
      {11, 12, 0, 20, 20, 0, 33, 9, 0},
      {10, 10, 2, 20, 20, 2, 30, 10, 2},
      {15, 15, 1, 45, 30, 1, 25, 5, 1},  // first two inside the enlarged box of gt 2
      {0, 0, 0, 100, 100, 0, -50, 10, 0},
  };
  for (bool use_area : {true, false}) {
    auto st = keypoint_state(gts, dts, sigmas, use_area, 3);
    const auto sims = slot_similarity(*st, 0);
    ASSERT_EQ(sims[0].matrix.size(), dts.size() * gts.size());
    for (size_t d = 0; d < dts.size(); ++d) {
      for (size_t g = 0; g < gts.size(); ++g) {
        EXPECT_DOUBLE_EQ(sims[0].matrix[d * gts.size() + g], plain_oks(dts[d], gts[g], sigmas, use_area))
            << "detection " << d << ", ground truth " << g << (use_area ? "" : ", box scale");
      }
    }
  }
}

TEST(Similarity, KeypointSimilarityExactValues) {
  // Same points: every term is exp(0).
  auto st = keypoint_state({{{3, 4, 2, 5, 6, 1}, {0, 0, 10, 10}, 50}}, {{3, 4, 0, 5, 6, 0}},
                           {0.1, 0.2}, true, 2);
  EXPECT_EQ(first_entry(slot_similarity(*st, 0)), 1.0);
  // No visible point and every detection point within the enlarged box.
  auto st2 = keypoint_state({{{0, 0, 0, 0, 0, 0}, {10, 10, 5, 5}, 25}}, {{5, 5, 1, 20, 20, 1}},
                            {0.1, 0.2}, true, 2);
  EXPECT_EQ(first_entry(slot_similarity(*st2, 0)), 1.0);
  // One point 1 unit off with sigma 0.5 (var 1) and area 1 - eps:
  // exp(-1/2 / (1 + ...)) averaged with a perfect point.
  auto st3 = keypoint_state({{{0, 0, 2, 5, 5, 2}, {0, 0, 1, 1}, 1.0}}, {{1, 0, 0, 5, 5, 0}},
                            {0.5, 0.5}, true, 2);
  EXPECT_DOUBLE_EQ(first_entry(slot_similarity(*st3, 0)), (std::exp(-0.5) + 1.0) / 2);
  // use_area false: the scale is w * h * 0.53 of the box, not the area.
  auto st4 = keypoint_state({{{0, 0, 2}, {0, 0, 10, 10}, 1e9}}, {{1, 0, 0}}, {0.5}, false, 1);
  EXPECT_DOUBLE_EQ(first_entry(slot_similarity(*st4, 0)), std::exp(-1.0 / 53.0 / 2));
}

TEST(Similarity, TooFewKeypointSigmasIsAnInternalError) {
  auto st = keypoint_state({{{0, 0, 2, 5, 5, 2, 1, 1, 2}, {0, 0, 10, 10}, 50}},
                           {{0, 0, 0, 5, 5, 0, 1, 1, 0}}, {0.1, 0.1}, true, 3);
  EXPECT_THROW(slot_similarity(*st, 0), InternalError);
  EXPECT_THROW(run(*st, false), InternalError);
}

// --- geometry kinds --------------------------------------------------------------

enum Kind { kBoxes, kShared, kMasks, kBoundary, kKeypointKind };
const char* kKindNames[] = {"boxes", "shared boxes", "masks", "boundary masks", "keypoints"};

Geometry geometry_of(Kind kind) {
  const rle::Rle m{4, 4, {0, 16}};
  switch (kind) {
    case kBoxes: return Boxes{{{0, 0, 4, 4}}};
    case kShared: return shared_boxes({rle::Box{0, 0, 4, 4}});
    case kMasks: return Masks{{m}};
    case kBoundary: return BoundaryMasks{{m}, {m}};
    case kKeypointKind: return Keypoints{{1, 1, 2}, 1};
  }
  return Boxes{};
}

TEST(Similarity, GeometryKindsMustAgree) {
  for (int gk = kBoxes; gk <= kKeypointKind; ++gk) {
    for (int dk = kBoxes; dk <= kKeypointKind; ++dk) {
      EvalParams p = params(1, 1);
      p.kpt_sigmas = {0.1};
      AnnotationSet g = with_geometry(box_set({{.id = 1, .box = {0, 0, 4, 4}}}), geometry_of(Kind(gk)));
      g.boxes = {{0, 0, 4, 4}};
      AnnotationSet d = with_geometry(box_set({{.id = 2, .box = {0, 0, 4, 4}}}), geometry_of(Kind(dk)));
      d.boxes = {{0, 0, 4, 4}};
      auto st = make_engine_state(p, std::move(g), std::move(d));
      const bool box_like = (gk == kBoxes || gk == kShared) && (dk == kBoxes || dk == kShared);
      const std::string what = std::string(kKindNames[gk]) + " vs " + kKindNames[dk];
      if (box_like || gk == dk) {
        const auto sims = slot_similarity(*st, 0);
        EXPECT_EQ(first_entry(sims), 1.0) << what;
        continue;
      }
      for (int via_run = 0; via_run < 2; ++via_run) {
        try {
          if (via_run) {
            run(*st, false);
          } else {
            slot_similarity(*st, 0);
          }
          ADD_FAILURE() << what << ": no error";
        } catch (const InternalError& e) {
          EXPECT_STREQ(e.what(), "ground truth and detection geometry kinds disagree") << what;
        }
      }
      // Without a group holding both sides there is nothing to compare.
      AnnotationSet g2 = with_geometry(box_set({{.id = 1, .img = 0}}), geometry_of(Kind(gk)));
      g2.boxes = {{0, 0, 4, 4}};
      AnnotationSet d2 = with_geometry(box_set({{.id = 2, .img = 1}}), geometry_of(Kind(dk)));
      auto st2 = make_engine_state(params(2, 1), std::move(g2), std::move(d2));
      EXPECT_NO_THROW(run(*st2, false)) << what;
    }
  }
}

}  // namespace
}  // namespace quillscore::eval
