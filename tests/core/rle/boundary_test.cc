#include "core/rle/boundary.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "core/rle/ops.h"
#include "tests/core/rle/random_masks.h"

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

// A ratio that gives exactly `passes` erosion passes on an h x w image.
double ratio_for(uint32_t h, uint32_t w, int64_t passes) {
  const double ratio = static_cast<double>(passes) / std::hypot(double(h), double(w));
  EXPECT_EQ(testref::erosion_passes(h, w, ratio), passes) << h << "x" << w;
  return ratio;
}

// Pixels of an h x w image holding `pattern` (ph x pw) with its top-left
// pixel at column x0, row y0, and nothing else.
testref::Pixels place(const testref::Pixels& pattern, uint32_t ph, uint32_t pw, uint32_t h,
                      uint32_t w, uint32_t x0, uint32_t y0) {
  testref::Pixels px(size_t{h} * w, 0);
  for (uint32_t x = 0; x < pw; ++x) {
    for (uint32_t y = 0; y < ph; ++y) px[size_t{x0 + x} * h + y0 + y] = pattern[size_t{x} * ph + y];
  }
  return px;
}

TEST(RleBoundary, MasksTouchingTheImageBorderMatchRepeatedErosion) {
  // Blobs pressed against each side and corner, and strips spanning the whole
  // height (runs of ones that continue into the next column) or width: the
  // image's outside must act as background exactly where the mask meets it.
  struct Placement {
    const char* what;
    uint32_t h, w, ph, pw, x0, y0;
  };
  const Placement placements[] = {
      {"top-left corner", 40, 50, 12, 15, 0, 0},
      {"bottom-right corner", 40, 50, 12, 15, 35, 28},
      {"top edge", 40, 50, 9, 20, 17, 0},
      {"bottom edge", 40, 50, 9, 20, 17, 31},
      {"left edge", 50, 40, 20, 9, 0, 13},
      {"right edge", 50, 40, 20, 9, 31, 13},
      {"whole height", 30, 60, 30, 14, 23, 0},
      {"whole width", 60, 30, 14, 30, 0, 23},
      {"whole image", 25, 35, 25, 35, 0, 0},
      {"one row at the bottom", 1, 80, 1, 30, 50, 0},
      {"one column at the right", 80, 1, 30, 1, 0, 50},
  };
  std::mt19937 rng(54);
  for (const Placement& c : placements) {
    for (int64_t passes : {1, 2, 3, 5}) {
      for (int iter = 0; iter < 6; ++iter) {
        testref::Pixels pattern = testref::random_blobs(rng, c.ph, c.pw);
        // Every side of the pattern is set somewhere, so it touches the border
        // it was placed against.
        for (uint32_t x = 0; x < c.pw; ++x) pattern[size_t{x} * c.ph] = pattern[size_t{x} * c.ph + c.ph - 1] = 1;
        for (uint32_t y = 0; y < c.ph; ++y) pattern[y] = pattern[size_t{c.pw - 1} * c.ph + y] = 1;
        const Rle m =
            testref::naive_encode(place(pattern, c.ph, c.pw, c.h, c.w, c.x0, c.y0), c.h, c.w);
        const double ratio = ratio_for(c.h, c.w, passes);
        ASSERT_EQ(rle_boundary(m, ratio), testref::literal_boundary(m, ratio))
            << c.what << ", " << passes << " passes, iteration " << iter;
      }
    }
  }
}

// `pattern` (ph x pw) at column x0, row y0 of an h x w image, encoded from
// its set pixels' 64-bit positions. A run longer than 32 bits is either split
// around an empty run (a valid mask of a huge image) or, with `cut`, cut to
// 32 bits as the dense encoder writes it.
Rle embed(const testref::Pixels& pattern, uint32_t ph, uint32_t pw, uint32_t h, uint32_t w,
          uint64_t x0, uint64_t y0, bool cut) {
  std::vector<uint64_t> lengths;
  uint64_t end = 0;  // one past the last set pixel so far
  for (uint64_t x = 0; x < pw; ++x) {
    for (uint64_t y = 0; y < ph; ++y) {
      if (!pattern[x * ph + y]) continue;
      const uint64_t at = (x0 + x) * h + y0 + y;
      if (!lengths.empty() && at == end) {
        ++lengths.back();
      } else {
        lengths.push_back(at - end);
        lengths.push_back(1);
      }
      end = at + 1;
    }
  }
  if (lengths.empty() || end < uint64_t{h} * w) lengths.push_back(uint64_t{h} * w - end);
  Rle out{h, w, {}};
  for (uint64_t len : lengths) {
    for (; !cut && len > UINT32_MAX; len -= UINT32_MAX) out.counts.insert(out.counts.end(), {UINT32_MAX, 0});
    out.counts.push_back(static_cast<uint32_t>(len));
  }
  return out;
}

TEST(RleBoundary, SmallMasksOnHugeImagesMatchTheSameMaskOnItsOwnImage) {
  // The band of a mask depends on the image only through the pass count and
  // the image's border: a small mask far out on a huge image has the band it
  // has alone on an image of its own size with the same passes. None of these
  // images would fit in memory as bytes.
  struct Case {
    const char* what;
    uint32_t h, w, ph, pw;
    uint64_t x0, y0;
  };
  const Case cases[] = {
      {"30x20 mask in the middle of 20000x20000", 20000, 20000, 30, 20, 9000, 11000},
      {"at the bottom-right corner", 20000, 20000, 30, 20, 19980, 19970},
      {"at the top-left corner", 20000, 20000, 30, 20, 0, 0},
      {"whole height of a 7-row image, runs across columns", 7, 3000000, 7, 40, 1234567, 0},
      {"whole width of a 3-column image", 3000000, 3, 50, 3, 0, 2999950},
      {"beyond 2^32 pixels, long runs", 70000, 70000, 30, 20, 65000, 69970},
  };
  std::mt19937 rng(55);
  for (const Case& c : cases) {
    for (int64_t passes : {1, 2, 4}) {
      for (int iter = 0; iter < 4; ++iter) {
        testref::Pixels pattern = testref::random_blobs(rng, c.ph, c.pw);
        pattern[0] = pattern.back() = 1;  // the pattern's box is its extent
        const Rle alone = testref::literal_boundary(testref::naive_encode(pattern, c.ph, c.pw),
                                                    ratio_for(c.ph, c.pw, passes));
        const Rle m = embed(pattern, c.ph, c.pw, c.h, c.w, c.x0, c.y0, false);
        const Rle want = embed(testref::naive_decode(alone), c.ph, c.pw, c.h, c.w, c.x0, c.y0, true);
        ASSERT_EQ(rle_boundary(m, ratio_for(c.h, c.w, passes)), want)
            << c.what << ", " << passes << " passes, iteration " << iter;
      }
    }
  }
}

}  // namespace
}  // namespace quillscore::rle
