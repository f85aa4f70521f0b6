#include "core/rle/raster.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "core/base/error.h"
#include "core/rle/codec.h"
#include "core/rle/ops.h"
#include "tests/reference/rle.h"

namespace quillscore::rle {
namespace {

using Coords = std::vector<double>;
using CountList = std::vector<uint32_t>;

uint64_t sum(const Rle& r) {
  uint64_t s = 0;
  for (uint32_t c : r.counts) s += c;
  return s;
}

std::string describe(const Coords& c, uint32_t h, uint32_t w) {
  std::string s = std::to_string(h) + "x" + std::to_string(w) + " [";
  char buf[32];
  for (size_t i = 0; i < c.size(); ++i) {
    std::snprintf(buf, sizeof buf, "%s%.17g", i ? ", " : "", c[i]);
    s += buf;
  }
  return s + "]";
}

// --- The reference itself on hand-checked values. ---------------------------

TEST(PolygonReference, QuantisationRule) {
  const std::pair<double, int32_t> cases[] = {
      {-1.5, -1}, {-0.7, 0}, {2.5, 3}, {5 * -0.3, -1}, {5 * -0.1, 0}, {0.49999, 0},
      {-3.0, -2}, {2147483647.0, 2147483647}, {2147483647.4, 2147483647},
      {2147483647.5, std::numeric_limits<int32_t>::min()}, {2147483646.0, 2147483646},
      {-2147483648.0, -2147483647}, {-2147483649.4, -2147483648},
      {-2147483649.5, std::numeric_limits<int32_t>::min()},
      {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<int32_t>::min()},
      {std::numeric_limits<double>::infinity(), std::numeric_limits<int32_t>::min()},
  };
  for (auto [v, q] : cases) EXPECT_EQ(testref::quantise(v), q) << v;
}

// --- Worked examples, through both the reference and production. ------------

struct PolygonCase {
  const char* what;
  Coords coords;
  uint32_t h, w;
  CountList counts;
};

TEST(RleFromPolygon, Examples) {
  const PolygonCase cases[] = {
      {"box [0,0,2,2] as its corner polygon", {0, 0, 0, 2, 2, 2, 2, 0}, 4, 4, {0, 2, 2, 2, 10}},
      {"no values", {}, 4, 4, {16}},
      {"a single value", {3}, 4, 4, {16}},
      {"no values on an empty image", {}, 0, 7, {0}},
      {"odd trailing value ignored", {0, 0, 0, 2, 2, 2, 2, 0, 99}, 4, 4, {0, 2, 2, 2, 10}},
      {"entirely left of column 0", {-9, 0, -9, 4, -1, 4, -1, 0}, 4, 4, {16}},
      {"entirely right of the last column", {4.6, 0, 4.6, 4, 9, 4, 9, 0}, 4, 4, {16}},
      {"rows clamped above and below", {0, -5, 0, 10, 2, 10, 2, -5}, 4, 4, {0, 8, 8}},
      {"whole image and more", {-3, -3, -3, 9, 9, 9, 9, -3}, 4, 4, {0, 16}},
      {"counter-clockwise order", {0, 0, 2, 0, 2, 2, 0, 2}, 4, 4, {0, 2, 2, 2, 10}},
      {"a single point", {1.2, 1.7}, 4, 4, {16}},
      {"a segment", {0, 0, 3, 3}, 4, 4, {16}},
  };
  RasterWorkspace ws;
  for (const auto& c : cases) {
    EXPECT_EQ(testref::literal_polygon(c.coords, c.h, c.w).counts, c.counts)
        << "reference: " << c.what;
    const Rle r = rle_from_polygon(c.coords, c.h, c.w, ws);
    EXPECT_EQ(r.counts, c.counts) << c.what;
    EXPECT_EQ(r.height, c.h);
    EXPECT_EQ(r.width, c.w);
  }
}

TEST(RleFromBox, Examples) {
  EXPECT_EQ(rle_from_box({0, 0, 2, 2}, 4, 4), (Rle{4, 4, {0, 2, 2, 2, 10}}));
  EXPECT_EQ(rle_from_box({1, 1, 2, 2}, 4, 4), (Rle{4, 4, {5, 2, 2, 2, 5}}));
  EXPECT_EQ(rle_from_box({0, 0, 4, 4}, 4, 4), (Rle{4, 4, {0, 16}}));
  EXPECT_EQ(rle_from_box({0, 0, 0, 0}, 4, 4), (Rle{4, 4, {16}}));
  EXPECT_EQ(rle_from_box({-5, -5, 2, 2}, 4, 4), (Rle{4, 4, {16}}));
}

// --- Random polygons against the literal rasteriser. -------------------------

// A star-shaped ring of k vertices around (cx, cy).
Coords star(std::mt19937& rng, double cx, double cy, double rmax, int k) {
  std::uniform_real_distribution<double> radius(0.1 * rmax, rmax), jitter(-0.5, 0.5);
  Coords c;
  for (int i = 0; i < k; ++i) {
    const double a = 2 * std::numbers::pi * (i + 0.5 + 0.8 * jitter(rng)) / k;
    const double r = radius(rng);
    c.push_back(cx + r * std::cos(a));
    c.push_back(cy + r * std::sin(a));
  }
  return c;
}

// Shuffles the vertex order, which gives self-intersecting rings.
void scramble(std::mt19937& rng, Coords& c) {
  for (size_t i = c.size() / 2; i > 1; --i) {
    const size_t j = rng() % i;
    std::swap(c[2 * (i - 1)], c[2 * j]);
    std::swap(c[2 * (i - 1) + 1], c[2 * j + 1]);
  }
}

void compare(const Coords& c, uint32_t h, uint32_t w, RasterWorkspace& ws) {
  const Rle expected = testref::literal_polygon(c, h, w);
  const Rle got = rle_from_polygon(c, h, w, ws);
  ASSERT_EQ(got, expected) << describe(c, h, w);
}

TEST(RleFromPolygon, CocoLikePolygonsMatchLiteralRule) {
  std::mt19937 rng(31);
  RasterWorkspace ws;  // one workspace for all: earlier calls must not leak into later ones
  for (int iter = 0; iter < 300; ++iter) {
    const int k = 20 + rng() % 41;
    std::uniform_real_distribution<double> cx(0, 640), cy(0, 480), r(2, 250);
    Coords c = star(rng, cx(rng), cy(rng), r(rng), k);
    if (rng() % 5 == 0) scramble(rng, c);
    // Keep every vertex inside the image.
    for (size_t i = 0; i < c.size(); ++i) c[i] = std::clamp(c[i], 0.0, i % 2 ? 480.0 : 640.0);
    compare(c, 480, 640, ws);
    if (HasFatalFailure()) return;
  }
}

TEST(RleFromPolygon, DegeneratePolygonsMatchLiteralRule) {
  std::mt19937 rng(32);
  RasterWorkspace ws;
  std::uniform_real_distribution<double> coord(-3, 25);
  for (int iter = 0; iter < 600; ++iter) {
    const uint32_t h = 1 + rng() % 24, w = 1 + rng() % 24;
    Coords c;
    switch (iter % 5) {
      case 0:  // one or two vertices, sometimes with an odd trailing value
        for (int i = 0, n = 2 + 2 * (rng() % 2) + (rng() % 3 == 0); i < n; ++i) {
          c.push_back(coord(rng));
        }
        break;
      case 1: {  // repeated vertices, also the closing one
        Coords base = star(rng, coord(rng), coord(rng), 12, 3 + rng() % 8);
        for (size_t i = 0; i < base.size(); i += 2) {
          for (int rep = 0, n = 1 + (rng() % 3 == 0) * (1 + rng() % 3); rep < n; ++rep) {
            c.push_back(base[i]);
            c.push_back(base[i + 1]);
          }
        }
        if (rng() % 2) c.insert(c.end(), {base[0], base[1]});
        break;
      }
      case 2: {  // collinear points along a line, in or out of order
        const double x0 = coord(rng), y0 = coord(rng), dx = coord(rng) / 5, dy = coord(rng) / 5;
        for (int i = 0, n = 2 + rng() % 6; i < n; ++i) {
          const double t = (rng() % 2) ? i : static_cast<double>(rng() % 7);
          c.push_back(x0 + t * dx);
          c.push_back(y0 + t * dy);
        }
        break;
      }
      case 3: {  // axis-parallel and diagonal slivers
        const double x = std::round(coord(rng)), y = std::round(coord(rng));
        const double len = 1 + rng() % 10;
        c = (rng() % 2) ? Coords{x, y, x + len, y, x + len, y + 0.2}
                        : Coords{x, y, x + len, y + len, x + len + 0.1, y + len};
        break;
      }
      default: {  // every vertex not a number: all of them quantise to one point
        const double nan = std::numeric_limits<double>::quiet_NaN();
        c.assign(2 * (1 + rng() % 5), nan);
        break;
      }
    }
    compare(c, h, w, ws);
    if (HasFatalFailure()) return;
  }
}

TEST(RleFromPolygon, PolygonsOutsideAndAcrossTheBorderMatchLiteralRule) {
  std::mt19937 rng(33);
  RasterWorkspace ws;
  for (int iter = 0; iter < 400; ++iter) {
    const uint32_t h = 1 + rng() % 120, w = 1 + rng() % 120;
    std::uniform_real_distribution<double> cx(-1.0 * w, 2.0 * w), cy(-1.0 * h, 2.0 * h);
    const double rmax = 1 + (rng() % 3) * 0.5 * std::max(h, w);
    Coords c = star(rng, cx(rng), cy(rng), rmax, 3 + rng() % 30);
    if (rng() % 6 == 0) scramble(rng, c);
    // Sometimes shift everything to negative coordinates or beyond the far side.
    if (rng() % 4 == 0) {
      const double sx = (rng() % 2 ? -1.0 : 1.0) * (w + rmax + 1), sy = (rng() % 3) * (h + rmax);
      for (size_t i = 0; i < c.size(); i += 2) {
        c[i] += sx;
        c[i + 1] -= sy;
      }
    }
    compare(c, h, w, ws);
    if (HasFatalFailure()) return;
  }
}

TEST(RleFromPolygon, TinyImagesMatchLiteralRule) {
  std::mt19937 rng(34);
  RasterWorkspace ws;
  std::uniform_real_distribution<double> coord(-2, 4);
  for (uint32_t h = 0; h <= 2; ++h) {
    for (uint32_t w = 0; w <= 2; ++w) {
      for (int iter = 0; iter < 150; ++iter) {
        Coords c(2 * (1 + rng() % 7));
        for (auto& v : c) v = coord(rng);
        if (rng() % 3 == 0) {
          for (auto& v : c) v = std::round(v * 2) / 2;  // halves: rounding ties everywhere
        }
        compare(c, h, w, ws);
        if (HasFatalFailure()) return;
      }
    }
  }
}

TEST(RleFromPolygon, CoordinatesAtRoundingBoundariesMatchLiteralRule) {
  // The fine grid rounds at (n - 0.5) / 5 and pixel-column centres sit at
  // x.5 on the fine grid; coordinates on and next to these, on both sides of
  // zero, exercise every tie of the rule.
  std::mt19937 rng(35);
  RasterWorkspace ws;
  const double nudges[] = {0, 0, 0, 1e-12, -1e-12, 1e-7, -1e-7};
  for (int iter = 0; iter < 800; ++iter) {
    const uint32_t h = 1 + rng() % 12, w = 1 + rng() % 12;
    Coords c(2 * (3 + rng() % 8));
    for (size_t i = 0; i < c.size(); ++i) {
      const int lim = static_cast<int>(i % 2 ? h : w) + 2;
      const double tick = (rng() % 2) ? 0.1 : 0.5;  // 0.1 steps hit the fine grid's ties
      const int steps = static_cast<int>(std::lround(2 * lim / tick));
      const double base = tick * static_cast<int>(rng() % (steps + 1)) - lim;
      c[i] = base + nudges[rng() % std::size(nudges)];
    }
    compare(c, h, w, ws);
    if (HasFatalFailure()) return;
  }
}

TEST(RleFromPolygon, LargeCoordinatesMatchLiteralRule) {
  // Long edges are where a fast rasteriser skips ranges of outline points;
  // the result must be that of the point-by-point walk. The literal walk
  // stores every point, so the total is kept to about 2e7 points.
  std::mt19937 rng(36);
  RasterWorkspace ws;
  uint64_t budget = 20'000'000;
  int tested = 0;
  auto try_compare = [&](const Coords& c, uint32_t h, uint32_t w) {
    const uint64_t points = testref::outline_points(c);
    if (points > 3'000'000 || points > budget) return;
    budget -= points;
    ++tested;
    compare(c, h, w, ws);
  };
  std::uniform_real_distribution<double> log_far(std::log(1.5e4), std::log(1e6));
  auto far = [&] { return ((rng() % 2) ? 1.0 : -1.0) * std::exp(log_far(rng)); };
  for (int iter = 0; iter < 400 && budget > 0; ++iter) {
    const uint32_t h = 50 + rng() % 200, w = 50 + rng() % 200;
    std::uniform_real_distribution<double> in_x(0, w), in_y(0, h);
    Coords c;
    switch (iter % 4) {
      case 0: {  // a polygon in the image with one or two vertices pulled far out
        c = star(rng, in_x(rng), in_y(rng), 0.4 * std::min(h, w), 4 + rng() % 8);
        for (int s = 0, n = 1 + rng() % 2; s < n; ++s) {
          const size_t v = 2 * (rng() % (c.size() / 2));
          if (rng() % 2) {
            c[v + 1] = far();  // mostly vertical edges through the image's columns
          } else {
            c[v] = far();
          }
        }
        break;
      }
      case 1: {  // a thin sliver, nearly vertical, crossing the image top to bottom
        const double top = -std::exp(log_far(rng)) / 4, bottom = std::exp(log_far(rng)) / 4;
        const double x0 = in_x(rng), x1 = in_x(rng);
        c = {x0, top, x1, bottom, x1 + 0.5 + (rng() % 20), bottom * 0.9};
        break;
      }
      case 2: {  // a small polygon far away in one direction, up to 1e7
        c = star(rng, in_x(rng), in_y(rng), 30, 3 + rng() % 10);
        std::uniform_real_distribution<double> log_dist(std::log(1e5), std::log(1e7));
        const double dist = std::exp(log_dist(rng));
        const bool along_x = rng() % 2;
        const double sign = (rng() % 2) ? 1.0 : -1.0;
        for (size_t i = along_x ? 0 : 1; i < c.size(); i += 2) c[i] += sign * dist;
        break;
      }
      default: {  // a huge triangle around or across the image
        c = {far() / 4, far() / 4, far() / 4, far() / 4, far() / 4, far() / 4};
        break;
      }
    }
    try_compare(c, h, w);
    if (HasFatalFailure()) return;
  }
  EXPECT_GT(tested, 30);
}

TEST(RleFromPolygon, ImagesOfMoreThan2To32PixelsMatchLiteralRule) {
  // Pixel indexes x*h + y wrap modulo 2^32 before they are sorted; the wrapped
  // order is the rule, not the order of (x, y).
  std::mt19937 rng(41);
  RasterWorkspace ws;
  const std::pair<uint32_t, uint32_t> sizes[] = {{70000, 70000}, {100000, 50000}, {65536, 65537}};
  for (auto [h, w] : sizes) {
    for (int iter = 0; iter < 15; ++iter) {
      std::uniform_real_distribution<double> cx(0, w), cy(0, h);
      const Coords c = star(rng, cx(rng), cy(rng), 20 + rng() % 400, 20 + rng() % 41);
      compare(c, h, w, ws);
      if (HasFatalFailure()) return;
    }
  }
}

TEST(RleFromPolygon, CoordinatesAtTheEdgeOfTheFineGridMatchLiteralRule) {
  // 5 * 429496729.4 + 0.5 is the largest value that still fits the fine grid.
  // With width 0 no column is out of range, so such polygons leave crossings.
  std::mt19937 rng(42);
  RasterWorkspace ws;
  const double edge = 429496729.4;
  for (int iter = 0; iter < 60; ++iter) {
    const uint32_t h = rng() % 6, w = (iter % 3 == 0) ? 0 : rng() % 20;
    const bool far_rows = rng() % 2;
    Coords c = star(rng, edge - 20, far_rows ? edge - 20 : 3.0, 19, 3 + rng() % 10);
    // Some vertices exactly on the edge, none beyond it.
    for (size_t i = 0; i < c.size(); ++i) {
      if ((i % 2 == 0 || far_rows) && rng() % 4 == 0) c[i] = edge;
    }
    compare(c, h, w, ws);
    if (HasFatalFailure()) return;
  }
}

TEST(RleFromPolygon, CountsAlwaysCoverTheImage) {
  // Whatever the coordinates (including NaN and infinities, which the literal
  // walk cannot afford), the runs sum to h*w and the call returns.
  std::mt19937 rng(37);
  RasterWorkspace ws;
  const double specials[] = {std::numeric_limits<double>::quiet_NaN(),
                             std::numeric_limits<double>::infinity(),
                             -std::numeric_limits<double>::infinity(),
                             1e300,
                             -1e300,
                             4.2e8,
                             -4.2e8,
                             429496729.4,
                             -429496729.4};
  for (int iter = 0; iter < 300; ++iter) {
    const uint32_t h = 1 + rng() % 64, w = 1 + rng() % 64;
    Coords c(2 * (2 + rng() % 6));
    for (auto& v : c) {
      v = (rng() % 3 == 0) ? specials[rng() % std::size(specials)]
                           : std::uniform_real_distribution<double>(-10, 80)(rng);
    }
    const Rle r = rle_from_polygon(c, h, w, ws);
    ASSERT_EQ(sum(r), uint64_t{h} * w) << describe(c, h, w);
  }
}

TEST(RleFromPolygon, TooManyCrossingsThrowInsteadOfExhaustingMemory) {
  // With width 0 no column is out of range, so a horizontal edge of 2e9 fine
  // steps would keep 4e8 crossings.
  RasterWorkspace ws;
  const Coords c = {0, 0, 4e8, 0, 4e8, 1};
  EXPECT_THROW((void)rle_from_polygon(c, 1, 0, ws), InputError);
  // The workspace is still usable afterwards.
  EXPECT_EQ(rle_from_polygon(Coords{0, 0, 0, 2, 2, 2, 2, 0}, 4, 4, ws),
            (Rle{4, 4, {0, 2, 2, 2, 10}}));
}

TEST(RleFromBox, MatchesLiteralRuleOfItsCornerPolygon) {
  std::mt19937 rng(38);
  for (int iter = 0; iter < 500; ++iter) {
    const uint32_t h = rng() % 60, w = rng() % 60;
    std::uniform_real_distribution<double> pos(-10, 70), size(-3, 40);
    Box b{pos(rng), pos(rng), size(rng), size(rng)};
    if (rng() % 3 == 0) {
      for (auto& v : b) v = std::round(v * 2) / 2;
    }
    const double x1 = b[0] + b[2], y1 = b[1] + b[3];
    const Coords poly = {b[0], b[1], b[0], y1, x1, y1, x1, b[1]};
    ASSERT_EQ(rle_from_box(b, h, w), testref::literal_polygon(poly, h, w))
        << "box " << b[0] << " " << b[1] << " " << b[2] << " " << b[3] << " on " << h << "x" << w;
  }
}

// --- rasterise_segmentation --------------------------------------------------

TEST(RasteriseSegmentation, SinglePolygonUsesEveryCoordinate) {
  RasterWorkspace ws;
  const Coords box = {0, 0, 0, 2, 2, 2, 2, 0};
  // With one end offset the whole list is the polygon, whatever the offset says.
  for (uint32_t end : {8u, 4u, 0u}) {
    const Rle r = rasterise_segmentation(Polygons{box, {end}}, 4, 4, ws);
    EXPECT_EQ(r, (Rle{4, 4, {0, 2, 2, 2, 10}})) << "end offset " << end;
  }
}

TEST(RasteriseSegmentation, SeveralPolygonsGiveTheirUnion) {
  RasterWorkspace ws;
  // Two overlapping squares: the union, not the symmetric difference.
  const Polygons two{{0, 0, 0, 2, 2, 2, 2, 0, 1, 1, 1, 3, 3, 3, 3, 1}, {8, 16}};
  EXPECT_EQ(rasterise_segmentation(two, 4, 4, ws), (Rle{4, 4, {0, 2, 2, 3, 2, 2, 5}}));

  // Random multi-polygon values, with empty polygons (repeated offsets) among them.
  std::mt19937 rng(39);
  for (int iter = 0; iter < 300; ++iter) {
    const uint32_t h = 1 + rng() % 50, w = 1 + rng() % 50;
    Polygons p;
    std::vector<Rle> parts;
    RasterWorkspace fresh;
    for (int i = 0, n = 2 + rng() % 4; i < n; ++i) {
      Coords c;
      if (rng() % 5) {
        std::uniform_real_distribution<double> cx(-5.0, w + 5.0), cy(-5.0, h + 5.0);
        c = star(rng, cx(rng), cy(rng), 2 + rng() % 20, 3 + rng() % 12);
      }
      parts.push_back(testref::literal_polygon(c, h, w));
      p.coords.insert(p.coords.end(), c.begin(), c.end());
      p.ends.push_back(static_cast<uint32_t>(p.coords.size()));
    }
    const Rle got = rasterise_segmentation(p, h, w, ws);
    ASSERT_EQ(got, testref::naive_merge(parts, false)) << "iteration " << iter;
    ASSERT_EQ(rasterise_segmentation(p, h, w, fresh), got);
  }
}

TEST(RasteriseSegmentation, NoPolygonIsTheEmptyRecord) {
  RasterWorkspace ws;
  EXPECT_EQ(rasterise_segmentation(Polygons{}, 4, 4, ws), Rle{});
  EXPECT_EQ(rasterise_segmentation(Polygons{{1, 2, 3, 4}, {}}, 4, 4, ws), Rle{});
}

TEST(RasteriseSegmentation, BadEndOffsetsAreInternalErrors) {
  const Coords c = {0, 0, 0, 2, 2, 2, 2, 0};
  const std::vector<std::vector<uint32_t>> bad = {{8, 4}, {4, 9}, {9, 9}, {2, 6, 4}, {0, 12}};
  for (const auto& ends : bad) {
    RasterWorkspace ws;
    EXPECT_THROW((void)rasterise_segmentation(Polygons{c, ends}, 4, 4, ws), InternalError)
        << ends[0] << "," << ends[1];
  }
}

TEST(RasteriseSegmentation, RunLengthForms) {
  RasterWorkspace ws;
  // CountList are copied as they are, under the given size, checked or not.
  EXPECT_EQ(rasterise_segmentation(Counts{{1, 2, 3}}, 2, 3, ws), (Rle{2, 3, {1, 2, 3}}));
  EXPECT_EQ(rasterise_segmentation(Counts{{5, 5}}, 2, 3, ws), (Rle{2, 3, {5, 5}}));
  EXPECT_EQ(rasterise_segmentation(Counts{{}}, 7, 1, ws), (Rle{7, 1, {}}));
  // Compressed counts are decoded under the given size.
  EXPECT_EQ(rasterise_segmentation(CompressedCounts{"5:5I?"}, 43, 1, ws),
            (Rle{43, 1, {5, 10, 5, 3, 20}}));
  EXPECT_EQ(rasterise_segmentation(CompressedCounts{""}, 3, 3, ws), (Rle{3, 3, {}}));
  const std::string s = counts_to_string(CountList{0, 4, 4});
  EXPECT_EQ(rasterise_segmentation(CompressedCounts{s}, 4, 2, ws), (Rle{4, 2, {0, 4, 4}}));
}

TEST(RasteriseSegmentation, BoxForm) {
  RasterWorkspace ws;
  std::mt19937 rng(40);
  EXPECT_EQ(rasterise_segmentation(Box{0, 0, 2, 2}, 4, 4, ws), (Rle{4, 4, {0, 2, 2, 2, 10}}));
  for (int iter = 0; iter < 100; ++iter) {
    std::uniform_real_distribution<double> v(-5, 40);
    const Box b{v(rng), v(rng), v(rng), v(rng)};
    const uint32_t h = rng() % 40, w = rng() % 40;
    ASSERT_EQ(rasterise_segmentation(b, h, w, ws), rle_from_box(b, h, w));
  }
}

}  // namespace
}  // namespace quillscore::rle
