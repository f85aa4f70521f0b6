// Seeded random evaluation inputs: a few images and categories, boxes on a
// coarse grid (so that equal overlaps and equal scores are common), crowd and
// ignore flags, areas that disagree with the boxes, NaN scores and areas, and
// annotations of unlisted images or categories.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "tests/core/eval/builders.h"

namespace quillscore::eval::testkit {

struct RandomCase {
  size_t n_img = 0, n_cat = 0;
  std::vector<Ann> gts, dts;
};

struct RandomShape {
  size_t max_img = 4, max_cat = 3, max_gt = 12, max_dt = 18;
  double grid = 12;  // coordinates and sizes are multiples of grid / 6
};

inline RandomCase random_case(uint32_t seed, const RandomShape& shape = {}) {
  std::mt19937 rng(seed);
  auto uni = [&](size_t lo, size_t hi) {  // inclusive
    return std::uniform_int_distribution<size_t>(lo, hi)(rng);
  };
  auto chance = [&](double p) { return std::uniform_real_distribution<double>(0, 1)(rng) < p; };
  RandomCase c;
  c.n_img = uni(1, shape.max_img);
  c.n_cat = uni(1, shape.max_cat);
  const double step = shape.grid / 6;
  auto box = [&]() -> rle::Box {
    return {step * double(uni(0, 6)), step * double(uni(0, 6)), step * double(uni(1, 4)),
            step * double(uni(1, 4))};
  };
  auto place = [&](Ann& a) {
    a.img = chance(0.05) ? kOut : static_cast<uint32_t>(uni(0, c.n_img - 1));
    a.cat = chance(0.05) ? kOut : static_cast<uint32_t>(uni(0, c.n_cat - 1));
    a.box = box();
    if (chance(0.25)) a.area = double(uni(0, 40)) * step * step / 4;
    if (chance(0.04)) a.area = kNaN;
  };
  const size_t n_gt = uni(0, shape.max_gt), n_dt = uni(0, shape.max_dt);
  for (size_t i = 0; i < n_gt; ++i) {
    Ann a;
    a.id = 1 + static_cast<int64_t>(i);
    place(a);
    a.crowd = chance(0.15);
    if (chance(0.1)) a.ignore = static_cast<uint8_t>(!a.crowd);
    c.gts.push_back(a);
  }
  for (size_t i = 0; i < n_dt; ++i) {
    Ann a;
    a.id = 501 + static_cast<int64_t>(i);
    place(a);
    a.score = chance(0.05) ? kNaN : double(uni(1, 9)) / 10;
    a.unmatched_ignore = chance(0.1);
    c.dts.push_back(a);
  }
  return c;
}

}  // namespace quillscore::eval::testkit
