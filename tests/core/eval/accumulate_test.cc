// Run and accumulation: the precision, recall and score arrays, checked on
// hand-built cells and, bit for bit, against a plain evaluation written in the
// test over many seeded random cases.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <cstdint>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/eval/matched.h"
#include "core/eval/run.h"
#include "core/rle/codec.h"
#include "core/rle/ops.h"
#include "tests/core/eval/builders.h"
#include "tests/core/eval/naive_coco.h"
#include "tests/core/eval/param_sets.h"
#include "tests/core/eval/random_case.h"
#include "tests/reference/rle.h"

namespace quillscore::eval {
namespace {

using namespace testkit;

constexpr double kEps = 2.220446049250313e-16;

// Where an engine record and a naive one differ, or "" when they agree.
std::string record_diff(const EvalImageRecord* got, const std::optional<naive::Record>& want,
                        const EvalParams& p, size_t k, size_t a, size_t i) {
  if (!got && !want) return "";
  if (!got) return "record missing";
  if (!want) return "unexpected record";
  if (got->dt_ids != want->dt_ids) return "dtIds";
  if (got->gt_ids != want->gt_ids) return "gtIds";
  if (bitwise_diff(got->dt_scores, want->dt_scores) != "") return "dtScores";
  if (got->gt_ignore != want->gt_ignore) return "gtIgnore";
  if (got->dt_matches != want->dt_matches) return "dtMatches";
  if (got->gt_matches != want->gt_matches) return "gtMatches";
  if (got->dt_ignore != want->dt_ignore) return "dtIgnore";
  if (got->image_id != p.img_ids[i]) return "image_id";
  if (got->category_id != (p.use_cats ? p.cat_ids[k] : -1)) return "category_id";
  if (got->area_index != a) return "aRng";
  if (got->max_det != p.cap()) return "maxDet";
  return "";
}

// Runs the engine and the naive evaluation on one case and reports the first
// disagreement ("" when none).
std::string compare_with_naive(const EvalParams& p, const std::vector<Ann>& gts,
                               const std::vector<Ann>& dts, AnnotationSet gt_set,
                               AnnotationSet dt_set, const naive::Similarity& sim) {
  auto st = make_engine_state(p, std::move(gt_set), std::move(dt_set));
  const AccumulatedResult got = run(*st, true);
  const naive::Result want = naive::evaluate(p, gts, dts, sim);
  const size_t K = want.K;
  const std::array<size_t, 5> dims = {p.iou_thrs.size(), p.rec_thrs.size(), K, p.area_rng.size(),
                                      p.max_dets.size()};
  if (got.dims != dims) return "dims";
  if (auto d = bitwise_diff(got.precision, want.precision); !d.empty()) return "precision: " + d;
  if (auto d = bitwise_diff(got.recall, want.recall); !d.empty()) return "recall: " + d;
  if (auto d = bitwise_diff(got.scores, want.scores); !d.empty()) return "scores: " + d;
  const size_t n_img = p.img_ids.size(), A = p.area_rng.size();
  if (got.records.size() != K * A * n_img) return "record count";
  for (size_t k = 0; k < K; ++k) {
    for (size_t a = 0; a < A; ++a) {
      for (size_t i = 0; i < n_img; ++i) {
        const size_t at = (k * A + a) * n_img + i;
        const std::string d = record_diff(got.records[at].get(), want.records[at], p, k, a, i);
        if (!d.empty()) {
          return "record (slot " + std::to_string(k) + ", range " + std::to_string(a) +
                 ", image " + std::to_string(i) + "): " + d;
        }
      }
    }
  }
  return "";
}

TEST(AccumulateAgainstNaive, RandomBoxCases) {
  for (const ParamSet& ps : param_sets()) {
    for (uint32_t seed = 1; seed <= seeds(120); ++seed) {
      const RandomCase c = random_case(seed);
      const EvalParams p = params_for(ps, c);
      const std::string diff = compare_with_naive(
          p, c.gts, c.dts, box_set(c.gts), box_set(c.dts), [&](size_t d, size_t g) {
            return naive::box_iou(c.dts[d].box, c.gts[g].box, c.gts[g].crowd);
          });
      if (!diff.empty()) {
        ADD_FAILURE() << ps.what << ", seed " << seed << ": " << diff;
        break;
      }
    }
  }
}

// Masks on a 20 x 20 image: each annotation's box filled in, with a few
// pixels flipped so that masks are not all rectangles.
std::vector<rle::testref::Pixels> random_pixels(const std::vector<Ann>& anns, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<rle::testref::Pixels> out;
  for (const Ann& a : anns) {
    rle::testref::Pixels px(20 * 20, 0);
    for (int x = 0; x < 20; ++x) {
      for (int y = 0; y < 20; ++y) {
        px[x * 20 + y] = x >= a.box[0] && x < a.box[0] + a.box[2] && y >= a.box[1] &&
                         y < a.box[1] + a.box[3];
      }
    }
    for (int flips = 0; flips < 6; ++flips) px[rng() % 400] ^= 1;
    out.push_back(std::move(px));
  }
  return out;
}

Masks masks_of(const std::vector<rle::testref::Pixels>& px) {
  Masks m;
  for (const auto& p : px) m.masks.push_back(rle::testref::naive_encode(p, 20, 20));
  return m;
}

// The same masks kept as compressed counts text, each behind a stretch of
// other bytes so that offsets matter.
Masks packed_of(const std::vector<rle::testref::Pixels>& px) {
  Masks m;
  auto text = std::make_shared<std::string>();
  for (const auto& p : px) {
    *text += "##";
    m.packed.begin.push_back(text->size());
    *text += rle::counts_to_string(rle::testref::naive_encode(p, 20, 20).counts);
    m.packed.end.push_back(text->size());
    m.packed.height.push_back(20);
    m.packed.width.push_back(20);
  }
  m.packed.text = std::shared_ptr<const char>(text, text->data());
  return m;
}

TEST(AccumulateAgainstNaive, RandomMaskCases) {
  for (const bool packed : {false, true}) {
    const auto geometry = packed ? packed_of : masks_of;
    for (const ParamSet& ps : param_sets()) {
      for (uint32_t seed = 1; seed <= seeds(40); ++seed) {
        const RandomCase c = random_case(seed + 7000);
        const EvalParams p = params_for(ps, c);
        const auto gpx = random_pixels(c.gts, seed);
        const auto dpx = random_pixels(c.dts, seed + 1);
        const std::string diff = compare_with_naive(
            p, c.gts, c.dts, with_geometry(box_set(c.gts), geometry(gpx)),
            with_geometry(box_set(c.dts), geometry(dpx)), [&](size_t d, size_t g) {
              return rle::testref::naive_mask_iou(dpx[d], gpx[g], c.gts[g].crowd);
            });
        if (!diff.empty()) {
          ADD_FAILURE() << (packed ? "packed, " : "") << ps.what << ", seed " << seed << ": " << diff;
          break;
        }
      }
    }
  }
}

// --- hand-built cells -----------------------------------------------------------

// A detection exactly on a ground truth, or far away from every one.
Ann hit(int64_t id, uint32_t img, double score, rle::Box on) {
  return {.id = id, .img = img, .box = on, .score = score};
}
Ann miss(int64_t id, uint32_t img, double score) {
  return {.id = id, .img = img, .box = {500, 500, 5, 5}, .score = score};
}

const rle::Box kG1{0, 0, 10, 10};

// The ranking key orders scores exactly as the ranking rule does (higher
// first, NaN after every number, -0 with 0) and gives back every score but a
// zero or a NaN bit for bit, over a table of edge values and random doubles.
TEST(RankingKey, OrdersAndRestoresScoresAsTheRankingDoes) {
  const double inf = std::numeric_limits<double>::infinity();
  std::vector<double> values = {0.0, -0.0, 1.0, -1.0, 0.5, inf, -inf,
                                std::numeric_limits<double>::denorm_min(), -std::numeric_limits<double>::denorm_min(),
                                std::numeric_limits<double>::max(), std::numeric_limits<double>::lowest(),
                                std::numeric_limits<double>::min(), std::numeric_limits<double>::quiet_NaN(),
                                -std::numeric_limits<double>::quiet_NaN(), std::bit_cast<double>(0x7ff0000000000001ull)};
  std::mt19937_64 rng(3);
  for (int i = 0; i < 200; ++i) values.push_back(std::bit_cast<double>(rng()));
  for (int i = 0; i < 50; ++i) values.push_back(std::uniform_real_distribution<double>(-2, 2)(rng));
  const auto before = [](double a, double b) { return !std::isnan(a) && (std::isnan(b) || a > b); };
  for (double a : values) {
    const uint64_t ka = RankingKey::score_key(a);
    ASSERT_EQ(RankingKey::invertible(ka), !std::isnan(a) && a != 0) << a;
    if (RankingKey::invertible(ka)) {
      ASSERT_EQ(std::bit_cast<uint64_t>(RankingKey::score_of(ka)), std::bit_cast<uint64_t>(a)) << a;
    }
    for (double b : values) {
      const uint64_t kb = RankingKey::score_key(b);
      ASSERT_EQ(ka < kb, before(a, b)) << a << " vs " << b;
      ASSERT_EQ(ka == kb, !before(a, b) && !before(b, a)) << a << " vs " << b;
    }
  }
}

// The radix sort orders keys as the full comparison does, both for keys
// listed image by image (sorted by score alone) and for keys in any order
// (each carrying its position, which must travel with it): sizes on both
// sides of where it takes over, and scores with many ties, all alike, NaN,
// -0 and random bit patterns, over images and ranks of every width.
TEST(RankingKey, RadixSortOrdersKeysAsTheComparisonDoes) {
  std::mt19937_64 rng(11);
  const std::vector<std::function<double()>> scores = {
      [&] { return std::round(std::uniform_real_distribution<double>(0, 1)(rng) * 1e3) / 1e3; },
      [&] { return 0.5; },
      [&] { return std::bit_cast<double>(rng()); },
      [&] {
        const double pick[] = {0.0, -0.0, 1.0, std::numeric_limits<double>::quiet_NaN(), 0.25,
                               -std::numeric_limits<double>::infinity()};
        return pick[rng() % 6];
      },
  };
  struct Item {
    RankingKey key;
    uint32_t at;
  };
  const auto key_of = [](const Item& item) -> const RankingKey& { return item.key; };
  for (const size_t n : {0, 1, 255, 256, 257, 4099, 30000}) {
    for (size_t d = 0; d < scores.size(); ++d) {
      for (const bool listed : {true, false}) {
        // Images far apart when not listed, so that every byte of the
        // image and the rank takes part.
        const uint32_t image_step = listed ? 1 : 0x01010101u, rank_step = listed ? 1 : 0x00010001u;
        std::vector<Item> items;
        for (uint32_t image = 0; items.size() < n; image += image_step) {
          for (uint32_t rank = 0; rank < (rng() % 40) * rank_step && items.size() < n; rank += rank_step) {
            items.push_back({{RankingKey::score_key(scores[d]()), image, rank}, 0});
          }
        }
        if (!listed) std::shuffle(items.begin(), items.end(), rng);
        for (size_t i = 0; i < n; ++i) items[i].at = static_cast<uint32_t>(i);
        std::vector<Item> expected = items;
        std::sort(expected.begin(), expected.end(),
                  [](const Item& a, const Item& b) { return a.key < b.key; });
        sort_by_ranking(items, key_of, listed);
        ASSERT_EQ(items.size(), expected.size());
        for (size_t i = 0; i < n; ++i) {
          ASSERT_TRUE(items[i].key.score == expected[i].key.score && items[i].key.image == expected[i].key.image &&
                      items[i].key.rank == expected[i].key.rank && items[i].at == expected[i].at)
              << "position " << i << " of " << n << ", scores " << d << (listed ? ", listed" : "");
        }
      }
    }
  }
}

TEST(Accumulate, CapIsTheLastMaxDetsEntry) {
  // Eleven misses ranked above the only hit: the hit is the 12th detection.
  std::vector<Ann> dts;
  for (int i = 0; i < 11; ++i) dts.push_back(miss(100 + i, 0, 0.9 - 0.01 * i));
  dts.push_back(hit(200, 0, 0.1, kG1));
  const std::vector<Ann> gts = {{.id = 1, .box = kG1}};

  struct Case {
    std::vector<uint64_t> max_dets;
    std::vector<double> recall;  // per m
  };
  const Case cases[] = {
      {{1, 10, 100}, {0.0, 0.0, 1.0}},
      // Capped at 10: the hit never takes part, even for the entry of 100.
      {{100, 1, 10}, {0.0, 0.0, 0.0}},
      {{12}, {1.0}},
      {{11}, {0.0}},
      {{12, 11}, {0.0, 0.0}},
  };
  for (const Case& c : cases) {
    EvalParams p = params(1, 1);
    p.max_dets = c.max_dets;
    auto st = boxes_state(p, gts, dts);
    const auto res = run(*st, true);
    for (size_t m = 0; m < c.max_dets.size(); ++m) {
      EXPECT_EQ(recall_at(res, 0, 0, 0, m), c.recall[m])
          << "max_dets " << ::testing::PrintToString(c.max_dets) << " m " << m;
    }
    const auto* rec = record_at(res, 1, 0, 0, 0);
    ASSERT_NE(rec, nullptr);
    EXPECT_EQ(rec->dt_ids.size(), std::min<size_t>(12, c.max_dets.back()));
    EXPECT_EQ(rec->max_det, c.max_dets.back());
  }
}

TEST(Accumulate, SmallerEntriesUseEachImagesTopDetections) {
  // Image 0: a miss ranked above a hit; image 1: a hit on top.
  EvalParams p = params(2, 1);
  p.max_dets = {1, 10, 100};
  p.rec_thrs = {0.5, 1.0};
  auto st = boxes_state(p, {{.id = 1, .img = 0, .box = kG1}, {.id = 2, .img = 1, .box = kG1}},
                        {miss(10, 0, 0.9), hit(11, 0, 0.8, kG1), hit(12, 1, 0.7, kG1)});
  const auto res = run(*st, false);
  // m = 0: [miss 0.9, hit 0.7]; recall 0.5 reached at the hit, precision 1/2.
  EXPECT_EQ(recall_at(res, 0, 0, 0, 0), 0.5);
  EXPECT_EQ(precision_at(res, 0, 0, 0, 0, 0), 1.0 / (2.0 + kEps));
  EXPECT_EQ(scores_at(res, 0, 0, 0, 0, 0), 0.7);
  EXPECT_EQ(precision_at(res, 0, 1, 0, 0, 0), 0.0);
  EXPECT_EQ(scores_at(res, 0, 1, 0, 0, 0), 0.0);
  // m = 1, 2: [miss 0.9, hit 0.8, hit 0.7]: the envelope lifts precision at
  // the first hit (1/2) to the later 2/3.
  for (size_t m : {1, 2}) {
    EXPECT_EQ(recall_at(res, 0, 0, 0, m), 1.0);
    EXPECT_EQ(precision_at(res, 0, 0, 0, 0, m), 2.0 / (3.0 + kEps));
    EXPECT_EQ(scores_at(res, 0, 0, 0, 0, m), 0.8);
    EXPECT_EQ(precision_at(res, 0, 1, 0, 0, m), 2.0 / (3.0 + kEps));
    EXPECT_EQ(scores_at(res, 0, 1, 0, 0, m), 0.7);
  }
}

// One cell (one threshold, slot, range and cap) built from a ranked list of
// hits and misses on `n_gt` ground truths of one image.
struct CellCase {
  const char* what;
  int n_gt;
  const char* ranked;  // 'h' hit on the next ground truth, 'm' miss, 'i' ignored
  std::vector<double> rec_thrs;
  double recall;
  std::vector<double> precision, scores;  // per recall threshold
};

TEST(Accumulate, CellsFromRankedOutcomes) {
  const std::vector<double> kScores = {0.9, 0.8, 0.7, 0.6, 0.5};
  const double third = 1.0 / (3.0 + kEps), one = 1.0 / (1.0 + kEps),
               two_thirds = 2.0 / (3.0 + kEps);
  const CellCase cases[] = {
      {"left-sided search: a threshold equal to a reached recall takes its first position",
       2, "hmh", {0.5, 0.6, 1.0}, 1.0, {one, two_thirds, two_thirds}, {0.9, 0.7, 0.7}},
      {"the envelope carries later precision back over a leading miss",
       2, "mhh", {0.0, 0.5}, 1.0, {two_thirds, two_thirds}, {0.9, 0.8}},
      {"thresholds above the final recall get 0", 3, "hm", {0.3, 0.34, 0.9}, 1.0 / 3.0,
       {one, 0.0, 0.0}, {0.9, 0.0, 0.0}},
      {"no detections: recall, precision and score 0", 2, "", {0.0, 0.5}, 0.0, {0.0, 0.0},
       {0.0, 0.0}},
      {"only misses", 1, "mm", {0.0, 0.5}, 0.0, {0.0, 0.0}, {0.9, 0.0}},
      {"ignored detections hold a position but change nothing", 2, "hih",
       {0.5, 1.0}, 1.0, {2.0 / (2.0 + kEps), 2.0 / (2.0 + kEps)}, {0.9, 0.7}},
      {"an ignored detection first: threshold 0 reached there with the best precision", 2, "imhh",
       {0.0, 1.0}, 1.0, {two_thirds, two_thirds}, {0.9, 0.6}},
      {"misses after the last hit do not lower interpolated precision", 2, "hhmm", {1.0}, 1.0,
       {2.0 / (2.0 + kEps)}, {0.8}},
      {"precision is measured with every miss so far", 2, "mmhmh", {0.5, 1.0}, 1.0,
       {2.0 / (5.0 + kEps), 2.0 / (5.0 + kEps)}, {0.7, 0.5}},
      {"a single hit", 1, "h", {0.0, 1.0}, 1.0, {one, one}, {0.9, 0.9}},
      {"three ground truths, one found late", 3, "mmh", {0.0, 0.3, 0.34}, 1.0 / 3.0,
       {third, third, 0.0}, {0.9, 0.7, 0.0}},
  };
  for (const CellCase& c : cases) {
    std::vector<Ann> gts, dts;
    for (int g = 0; g < c.n_gt; ++g) {
      gts.push_back({.id = 1 + g, .box = {100.0 * g, 0, 10, 10}});
    }
    // The ignored detections fall outside the area range; misses inside it.
    int next = 0;
    const std::string ranked = c.ranked;
    for (size_t i = 0; i < ranked.size(); ++i) {
      const double score = kScores.at(i);
      const int64_t id = 100 + static_cast<int64_t>(i);
      if (ranked[i] == 'h') {
        dts.push_back(hit(id, 0, score, {100.0 * next++, 0, 10, 10}));
      } else if (ranked[i] == 'm') {
        dts.push_back(miss(id, 0, score));
      } else {
        dts.push_back({.id = id, .box = {500, 500, 5, 5}, .score = score, .area = 1e6});
      }
    }
    EvalParams p = params(1, 1);
    p.rec_thrs = c.rec_thrs;
    p.area_rng = {{0, 1000}};
    auto st = boxes_state(p, gts, dts);
    const auto res = run(*st, false);
    EXPECT_EQ(recall_at(res, 0, 0, 0, 0), c.recall) << c.what;
    for (size_t r = 0; r < c.rec_thrs.size(); ++r) {
      EXPECT_EQ(precision_at(res, 0, r, 0, 0, 0), c.precision[r]) << c.what << ", r " << r;
      EXPECT_EQ(scores_at(res, 0, r, 0, 0, 0), c.scores[r]) << c.what << ", r " << r;
    }
  }
}

TEST(Accumulate, CellsWithoutCountedGroundTruthsStayMinusOne) {
  // Slot 0: a crowd ground truth and a small one outside range 1, with
  // detections. Slot 1: detections only. Slot 2: nothing at all.
  EvalParams p = params(2, 3);
  p.area_rng = {{0, kBig}, {50, kBig}};
  p.max_dets = {1, 100};
  p.rec_thrs = {0.0, 1.0};
  const std::vector<Ann> gts = {
      {.id = 1, .img = 0, .cat = 0, .box = {0, 0, 10, 10}, .crowd = 1},
      {.id = 2, .img = 1, .cat = 0, .box = {0, 0, 5, 5}, .ignore = 1},
      {.id = 3, .img = 1, .cat = 0, .box = {20, 0, 5, 5}},
  };
  const std::vector<Ann> dts = {
      {.id = 10, .img = 0, .cat = 0, .box = {0, 0, 10, 10}, .score = 0.9},
      {.id = 11, .img = 1, .cat = 0, .box = {20, 0, 5, 5}, .score = 0.8},
      {.id = 12, .img = 1, .cat = 1, .box = {0, 0, 10, 10}, .score = 0.8},
  };
  auto st = boxes_state(p, gts, dts);
  const auto res = run(*st, false);
  // Slot 0, range 0: ground truth 3 counts and is found.
  EXPECT_EQ(recall_at(res, 0, 0, 0, 1), 1.0);
  // Slot 0, range 1 (areas of 50 and more): 100 (crowd) is ignored anyway,
  // 25 and 25 fall below the range; detections exist but nothing counts.
  for (size_t k : {0, 1, 2}) {
    for (size_t a : {0, 1}) {
      if (k == 0 && a == 0) continue;
      for (size_t m : {0, 1}) {
        EXPECT_EQ(recall_at(res, 0, k, a, m), -1.0) << k << a << m;
        for (size_t r : {0, 1}) {
          EXPECT_EQ(precision_at(res, 0, r, k, a, m), -1.0) << k << a << m << r;
          EXPECT_EQ(scores_at(res, 0, r, k, a, m), -1.0) << k << a << m << r;
        }
      }
    }
  }
}

TEST(Accumulate, EqualScoresOnDifferentImagesRankByImagePosition) {
  // The first image listed has the larger id and holds the miss; intake puts
  // the hit first. Ranked by image position the miss comes first.
  EvalParams p = params(2, 1);
  p.img_ids = {5000, 10};
  p.rec_thrs = {0.5};
  const std::vector<Ann> gts = {{.id = 1, .img = 0, .box = kG1}, {.id = 2, .img = 1, .box = kG1}};
  auto st = boxes_state(p, gts, {hit(11, 1, 0.5, kG1), miss(10, 0, 0.5)});
  const auto res = run(*st, false);
  EXPECT_EQ(precision_at(res, 0, 0, 0, 0, 0), 1.0 / (2.0 + kEps));
  EXPECT_EQ(recall_at(res, 0, 0, 0, 0), 0.5);
}

TEST(Accumulate, NoCategorySlots) {
  EvalParams p = params(3, 0);
  p.iou_thrs = {0.5, 0.75};
  p.max_dets = {1, 10};
  // With no category listed, every annotation's category is unlisted.
  auto st = boxes_state(p, {{.id = 1, .img = 0, .cat = kOut, .box = kG1}},
                        {{.id = 10, .img = 0, .cat = kOut, .box = kG1}});
  for (bool collect : {false, true}) {
    const auto res = run(*st, collect);
    EXPECT_EQ(res.dims, (std::array<size_t, 5>{2, 3, 0, 1, 2}));
    EXPECT_TRUE(res.precision.empty());
    EXPECT_TRUE(res.recall.empty());
    EXPECT_TRUE(res.scores.empty());
    EXPECT_TRUE(res.records.empty());
  }
}

TEST(Accumulate, PooledCategoriesFormOneSlot) {
  // Three categories; a detection of category 2 finds a ground truth of
  // category 0 when categories are pooled.
  EvalParams p = params(2, 3);
  p.use_cats = false;
  auto st = boxes_state(p, {{.id = 1, .img = 1, .cat = 0, .box = kG1}},
                        {{.id = 10, .img = 1, .cat = 2, .box = kG1, .score = 0.5}});
  const auto res = run(*st, true);
  EXPECT_EQ(res.dims, (std::array<size_t, 5>{1, 3, 1, 1, 1}));
  EXPECT_EQ(recall_at(res, 0, 0, 0, 0), 1.0);
  ASSERT_EQ(res.records.size(), 2u);
  EXPECT_EQ(res.records[0], nullptr);
  ASSERT_NE(res.records[1], nullptr);
  EXPECT_EQ(res.records[1]->category_id, -1);
  EXPECT_EQ(res.records[1]->dt_matches, (std::vector<int64_t>{1}));

  // With categories in use they meet nowhere.
  p.use_cats = true;
  auto st2 = boxes_state(p, {{.id = 1, .img = 1, .cat = 0, .box = kG1}},
                         {{.id = 10, .img = 1, .cat = 2, .box = kG1, .score = 0.5}});
  const auto res2 = run(*st2, false);
  EXPECT_EQ(recall_at(res2, 0, 0, 0, 0), 0.0);
  EXPECT_EQ(recall_at(res2, 0, 2, 0, 0), -1.0);
}

TEST(Accumulate, EmptyMaxDetsEvaluatesNoDetection) {
  EvalParams p = params(1, 1);
  p.max_dets = {};
  auto st = boxes_state(p, {{.id = 1, .box = kG1}}, {hit(10, 0, 0.9, kG1)});
  const auto res = run(*st, true);
  EXPECT_EQ(res.dims, (std::array<size_t, 5>{1, 3, 1, 1, 0}));
  EXPECT_TRUE(res.precision.empty());
  ASSERT_EQ(res.records.size(), 1u);
  ASSERT_NE(res.records[0], nullptr);
  EXPECT_TRUE(res.records[0]->dt_ids.empty());
  EXPECT_EQ(res.records[0]->gt_ids, (std::vector<int64_t>{1}));
  EXPECT_EQ(res.records[0]->max_det, 0u);
}

TEST(Accumulate, OnlyTheBestHundredOfOneImageTakePart) {
  // 150 detections; the hit is ranked 101st and never counts.
  EvalParams p = params(1, 1);
  p.max_dets = {1, 10, 100};
  std::vector<Ann> dts;
  for (int i = 0; i < 150; ++i) {
    if (i == 100) {
      dts.push_back(hit(1000 + i, 0, 1.0 - 0.001 * i, kG1));
    } else {
      dts.push_back(miss(1000 + i, 0, 1.0 - 0.001 * i));
    }
  }
  // Shuffle intake order deterministically; ranking restores it.
  std::mt19937 rng(3);
  std::shuffle(dts.begin(), dts.end(), rng);
  auto st = boxes_state(p, {{.id = 1, .box = kG1}}, dts);
  const auto res = run(*st, true);
  EXPECT_EQ(recall_at(res, 0, 0, 0, 2), 0.0);
  const auto* rec = record_at(res, 1, 0, 0, 0);
  ASSERT_NE(rec, nullptr);
  ASSERT_EQ(rec->dt_ids.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(rec->dt_ids[i], 1000 + i);
}

TEST(Accumulate, RunningTwiceGivesIdenticalArraysAndGrowingTimings) {
  const RandomCase c = random_case(77, {.max_img = 6, .max_cat = 3, .max_gt = 40, .max_dt = 60});
  EvalParams p = params(c.n_img, c.n_cat);
  p.iou_thrs = coco_iou_thrs();
  p.rec_thrs = coco_rec_thrs();
  p.max_dets = {1, 10, 100};
  p.area_rng = kFourRanges;
  auto st = boxes_state(p, c.gts, c.dts);
  const uint64_t group_ns = st->timings.group_index.load();
  const auto first = run(*st, true);
  const uint64_t after_first = st->timings.iou_cpu + st->timings.match_cpu + st->timings.accumulate_cpu;
  const auto second = run(*st, true);
  const uint64_t after_second = st->timings.iou_cpu + st->timings.match_cpu + st->timings.accumulate_cpu;
  EXPECT_EQ(bitwise_diff(first.precision, second.precision), "");
  EXPECT_EQ(bitwise_diff(first.recall, second.recall), "");
  EXPECT_EQ(bitwise_diff(first.scores, second.scores), "");
  ASSERT_EQ(first.records.size(), second.records.size());
  for (size_t i = 0; i < first.records.size(); ++i) {
    EXPECT_TRUE(same_record(first.records[i].get(), second.records[i].get())) << i;
  }
  EXPECT_GT(after_first, 0u);
  EXPECT_GT(after_second, after_first);
  EXPECT_EQ(st->timings.group_index.load(), group_ns);
}

}  // namespace
}  // namespace quillscore::eval
