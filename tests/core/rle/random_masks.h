// Random masks for the core's unit tests, and a guard for walks that might
// not end.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <random>
#include <thread>
#include <utility>
#include <vector>

#include "core/rle/rle.h"
#include "tests/reference/rle.h"

namespace quillscore::rle::testref {

// A blob-like mask: a few filled rectangles, sometimes with speckle noise, so
// that masks drawn on one image overlap the way object masks do.
inline Pixels random_blobs(std::mt19937& rng, uint32_t h, uint32_t w) {
  Pixels px(size_t{h} * w, 0);
  if (h == 0 || w == 0) return px;
  std::uniform_int_distribution<int> nrect(0, 3);
  const int rects = nrect(rng);
  for (int r = 0; r < rects; ++r) {
    std::uniform_int_distribution<uint32_t> xs(0, w - 1), ys(0, h - 1);
    uint32_t x0 = xs(rng), x1 = xs(rng), y0 = ys(rng), y1 = ys(rng);
    if (x0 > x1) std::swap(x0, x1);
    if (y0 > y1) std::swap(y0, y1);
    for (uint32_t x = x0; x <= x1; ++x) {
      for (uint32_t y = y0; y <= y1; ++y) px[size_t{x} * h + y] = 1;
    }
  }
  if (rng() % 3 == 0) {
    const double p = std::uniform_real_distribution<double>(0.0, 0.3)(rng);
    std::bernoulli_distribution flip(p);
    for (auto& b : px) {
      if (flip(rng)) b ^= 1;
    }
  }
  return px;
}

// Runs of random lengths (short or long) whose sum is exactly h*w; about a
// third start with a set pixel.
inline std::vector<uint32_t> random_runs(std::mt19937& rng, uint32_t h, uint32_t w) {
  const uint64_t total = uint64_t{h} * w;
  const uint32_t mean_choices[] = {1, 2, 4, 16, 64, 1000};
  const uint32_t mean = mean_choices[rng() % 6];
  std::uniform_int_distribution<uint32_t> len(1, 2 * mean);
  std::vector<uint32_t> counts;
  uint64_t pos = 0;
  if (rng() % 3 == 0) counts.push_back(0);
  while (pos < total) {
    const uint32_t l = static_cast<uint32_t>(std::min<uint64_t>(len(rng), total - pos));
    counts.push_back(l);
    pos += l;
  }
  if (counts.empty()) counts.push_back(0);
  return counts;
}

// A well-formed mask in canonical form (no empty runs except the first).
inline Rle random_mask(std::mt19937& rng, uint32_t h, uint32_t w) {
  if (rng() % 2) return naive_encode(random_blobs(rng, h, w), h, w);
  return Rle{h, w, random_runs(rng, h, w)};
}

// The same pixels with empty runs put in the middle: a run is split around an
// empty run of the other colour, or an empty pair is inserted. With
// `ones_only` only runs of ones are split, which leaves every run boundary on
// a set pixel (an empty run of ones elsewhere marks unset pixels for the box).
inline std::vector<uint32_t> with_empty_runs(std::mt19937& rng, std::vector<uint32_t> counts,
                                             bool ones_only = false) {
  const int splits = 1 + static_cast<int>(rng() % 3);
  for (int s = 0; s < splits; ++s) {
    const size_t i = rng() % counts.size();
    if ((ones_only || rng() % 2) && counts[i] >= 2 && (!ones_only || i % 2 == 1)) {
      const uint32_t first = 1 + rng() % (counts[i] - 1);
      const uint32_t second = counts[i] - first;
      counts[i] = first;
      counts.insert(counts.begin() + i + 1, {0, second});
    } else if (!ones_only) {
      counts.insert(counts.begin() + i + 1, {0, 0});
    }
  }
  return counts;
}

// Runs `fn` on a thread and aborts the test binary if it has not returned
// within a minute: a stuck walk cannot be cancelled, and a clear abort beats
// waiting for the test runner's timeout.
template <class Fn>
void expect_terminates(Fn fn, const char* what) {
  std::packaged_task<void()> task(fn);
  auto done = task.get_future();
  std::thread worker(std::move(task));
  if (done.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
    std::fprintf(stderr, "%s did not terminate\n", what);
    std::abort();
  }
  worker.join();
  done.get();
}

}  // namespace quillscore::rle::testref
