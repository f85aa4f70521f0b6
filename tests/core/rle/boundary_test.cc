#include "core/rle/boundary.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "core/rle/ops.h"
#include "tests/core/rle/reference.h"

namespace quillscore::rle {
namespace {

using CountList = std::vector<uint32_t>;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

Rle full(uint32_t h, uint32_t w) { return Rle{h, w, {0, h * w}}; }

TEST(RleBoundary, FullSmallMaskKeepsItsOuterRing) {
  // 0.02 * sqrt(50) rounds to 0: a single erosion pass.
  const Rle expected{5, 5, {0, 6, 3, 2, 3, 2, 3, 6}};
  EXPECT_EQ(rle_boundary(full(5, 5), 0.02), expected);
  EXPECT_EQ(testref::literal_boundary(full(5, 5), 0.02), expected);
}

TEST(RleBoundary, FullLargeMaskKeepsBandThreePixelsWide) {
  // 0.02 * sqrt(20000) = 2.83 rounds to 3 passes.
  const Rle band = rle_boundary(full(100, 100), 0.02);
  EXPECT_EQ(band.height, 100u);
  EXPECT_EQ(band.width, 100u);
  const auto px = testref::naive_decode(band);
  for (int x = 0; x < 100; ++x) {
    for (int y = 0; y < 100; ++y) {
      const int border = std::min(std::min(x, y), std::min(99 - x, 99 - y));
      ASSERT_EQ(px[x * 100 + y], border < 3 ? 1 : 0) << "row " << y << " column " << x;
    }
  }
}

struct BandCase {
  const char* what;
  Rle mask;
  double ratio;
  Rle band;
};

TEST(RleBoundary, Examples) {
  const BandCase cases[] = {
      {"empty mask", {6, 4, {24}}, 0.02, {6, 4, {24}}},
      {"one-pixel-wide line is all band", {5, 4, {5, 5, 10}}, 0.02, {5, 4, {5, 5, 10}}},
      {"ratio 0 still erodes once", full(5, 5), 0.0, {5, 5, {0, 6, 3, 2, 3, 2, 3, 6}}},
      {"negative ratio still erodes once", full(5, 5), -3.0, {5, 5, {0, 6, 3, 2, 3, 2, 3, 6}}},
      {"NaN ratio erodes once", full(5, 5), kNaN, {5, 5, {0, 6, 3, 2, 3, 2, 3, 6}}},
      {"infinite ratio: nothing survives", full(5, 5), kInf, full(5, 5)},
      {"a 3x3 square inside keeps its centre out of the band",
       {5, 5, {6, 3, 2, 3, 2, 3, 6}}, 0.02, {5, 5, {6, 3, 2, 1, 1, 1, 2, 3, 6}}},
      {"height 0 comes back unchanged", {0, 4, {7, 1}}, 0.5, {0, 4, {7, 1}}},
      {"width 0 comes back unchanged", {3, 0, {}}, 0.5, {3, 0, {}}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(rle_boundary(c.mask, c.ratio), c.band) << c.what;
    EXPECT_EQ(testref::literal_boundary(c.mask, c.ratio), c.band) << "reference: " << c.what;
  }
}

TEST(RleBoundary, RandomMasksMatchRepeatedErosion) {
  std::mt19937 rng(51);
  const std::pair<uint32_t, uint32_t> sizes[] = {{1, 1},  {1, 12}, {12, 1}, {2, 3},  {3, 3},
                                                 {7, 5},  {16, 16}, {30, 21}, {64, 40}, {97, 101}};
  const double ratios[] = {0.0,  -1.0, 0.02, 0.05, 0.1,   0.011, 0.0213,
                           0.25, 10.0, kNaN, kInf, -kInf, 1e300};
  for (auto [h, w] : sizes) {
    for (double ratio : ratios) {
      for (int iter = 0; iter < 6; ++iter) {
        const Rle m = testref::random_mask(rng, h, w);
        ASSERT_EQ(rle_boundary(m, ratio), testref::literal_boundary(m, ratio))
            << h << "x" << w << " ratio " << ratio << " iteration " << iter;
      }
    }
  }
}

TEST(RleBoundary, RatiosAroundRoundingHalvesMatchRepeatedErosion) {
  // Diagonal 50 (30 x 40): ratios placing d just below, at and above n + 0.5.
  std::mt19937 rng(52);
  for (int n = 0; n <= 8; ++n) {
    for (double delta : {-1e-9, 0.0, 1e-9}) {
      const double ratio = (n + 0.5) / 50.0 + delta;
      for (int iter = 0; iter < 4; ++iter) {
        const Rle m = testref::naive_encode(testref::random_blobs(rng, 30, 40), 30, 40);
        ASSERT_EQ(rle_boundary(m, ratio), testref::literal_boundary(m, ratio)) << "ratio " << ratio;
      }
    }
  }
}

TEST(RleBoundary, CountsNotCoveringTheImage) {
  // Runs short of h*w leave the rest unset; runs beyond it are cut off. The
  // band itself always covers the image exactly.
  std::mt19937 rng(53);
  const Rle cases[] = {
      {4, 4, {0, 10}},
      {4, 4, {}},
      {4, 4, {3}},
      {4, 4, {0, 100}},
      {4, 4, {2, 9, 0xFFFFFFFFu, 7}},
      {6, 6, {0, 0xFFFFFFFFu}},
  };
  for (const auto& m : cases) {
    const Rle band = rle_boundary(m, 0.02);
    EXPECT_EQ(band, testref::literal_boundary(m, 0.02));
    uint64_t sum = 0;
    for (uint32_t c : band.counts) sum += c;
    EXPECT_EQ(sum, uint64_t{m.height} * m.width);
  }
  for (int iter = 0; iter < 300; ++iter) {
    const uint32_t h = 1 + rng() % 20, w = 1 + rng() % 20;
    Rle m{h, w, testref::random_runs(rng, h, w)};
    if (rng() % 2) {
      m.counts.resize(rng() % (m.counts.size() + 1));
    } else {
      for (int extra = 0, n = 1 + rng() % 4; extra < n; ++extra) m.counts.push_back(rng() % 30);
    }
    const double ratio = std::uniform_real_distribution<double>(0, 0.3)(rng);
    ASSERT_EQ(rle_boundary(m, ratio), testref::literal_boundary(m, ratio)) << "iteration " << iter;
  }
}

}  // namespace
}  // namespace quillscore::rle
