// Deliberately naive versions of the mask routines, written for clarity and
// not for speed: dense pixel buffers, one pixel at a time, every outline point
// stored. The tests hold the production code to these.
#pragma once

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <limits>
#include <random>
#include <span>
#include <string_view>
#include <thread>
#include <vector>

#include "core/rle/rle.h"

namespace quillscore::rle::testref {

using Pixels = std::vector<uint8_t>;

// The compressed counts string decoded from the format's description, one
// step per rule, for holding the production decoder to on arbitrary bytes.
inline std::vector<uint32_t> literal_decode_counts(std::string_view s) {
  std::vector<uint32_t> out;
  size_t p = 0;
  while (p < s.size()) {
    int64_t x = 0;
    unsigned k = 0;
    for (;;) {
      const uint8_t c = static_cast<uint8_t>(static_cast<uint8_t>(s[p]) - 48);
      ++p;
      if (5 * k < 64) {
        x = static_cast<int64_t>(static_cast<uint64_t>(x) | (uint64_t{c & 0x1fu} << (5 * k)));
      }
      if ((c & 0x30) == 0x10 && 5 * (k + 1) <= 63) {
        x = static_cast<int64_t>(static_cast<uint64_t>(x) | (~uint64_t{0} << (5 * (k + 1))));
      }
      k = k + 1;
      if (!(c & 0x20) || p == s.size()) break;
    }
    const size_t i = out.size();
    if (i >= 3) x = static_cast<int64_t>(static_cast<uint64_t>(x) + out[i - 2]);
    out.push_back(static_cast<uint32_t>(static_cast<uint64_t>(x)));
  }
  return out;
}

// Expands runs into `out` one pixel at a time; runs past the end are cut and
// pixels no run reaches keep their value.
inline void naive_decode_into(std::span<const uint32_t> counts, std::span<uint8_t> out) {
  size_t pos = 0;
  for (size_t i = 0; i < counts.size(); ++i) {
    const uint8_t colour = i % 2;
    for (uint64_t k = 0; k < counts[i] && pos < out.size(); ++k) out[pos++] = colour;
  }
}

// n pixels from runs, zero where the runs do not reach.
inline Pixels naive_dense(std::span<const uint32_t> counts, size_t n) {
  Pixels px(n, 0);
  naive_decode_into(counts, px);
  return px;
}

// The h*w pixels of a mask, zero where the runs do not reach.
inline Pixels naive_decode(const Rle& m) { return naive_dense(m.counts, size_t{m.height} * m.width); }

// Canonical runs of a byte sequence: a new run at every change of value,
// starting with a (possibly empty) run of zeros.
inline std::vector<uint32_t> naive_runs(std::span<const uint8_t> px) {
  std::vector<uint32_t> counts;
  uint8_t current = 0;
  uint32_t run = 0;
  for (uint8_t p : px) {
    if (p != current) {
      counts.push_back(run);
      run = 0;
      current = p;
    }
    ++run;
  }
  counts.push_back(run);
  return counts;
}

inline Rle naive_encode(std::span<const uint8_t> px, uint32_t h, uint32_t w) {
  return Rle{h, w, naive_runs(px)};
}

inline uint64_t naive_area(const Pixels& px) {
  uint64_t a = 0;
  for (uint8_t p : px) a += p != 0;
  return a;
}

// Smallest box holding every set pixel; [0, 0, 0, 0] when none is set.
inline Box naive_bbox(const Pixels& px, uint32_t h, uint32_t w) {
  int64_t x0 = -1, x1 = -1, y0 = -1, y1 = -1;
  for (uint32_t x = 0; x < w; ++x) {
    for (uint32_t y = 0; y < h; ++y) {
      if (!px[size_t{x} * h + y]) continue;
      if (x0 < 0 || x < x0) x0 = x;
      if (x1 < 0 || x > x1) x1 = x;
      if (y0 < 0 || y < y0) y0 = y;
      if (y1 < 0 || y > y1) y1 = y;
    }
  }
  if (x0 < 0) return {0, 0, 0, 0};
  return {double(x0), double(y0), double(x1 - x0 + 1), double(y1 - y0 + 1)};
}

// Union or intersection of masks of one size, pixel by pixel.
inline Rle naive_merge(const std::vector<Rle>& masks, bool intersect) {
  const uint32_t h = masks[0].height, w = masks[0].width;
  Pixels acc = naive_decode(masks[0]);
  for (size_t i = 1; i < masks.size(); ++i) {
    const Pixels px = naive_decode(masks[i]);
    for (size_t p = 0; p < acc.size(); ++p) {
      acc[p] = intersect ? (acc[p] && px[p]) : (acc[p] || px[p]);
    }
  }
  return naive_encode(acc, h, w);
}

// IoU of two masks of one size counted pixel by pixel; a crowd ground truth
// divides by the detection's area.
inline double naive_mask_iou(const Pixels& dt, const Pixels& gt, bool crowd) {
  uint64_t inter = 0, uni = 0, dt_area = 0;
  for (size_t p = 0; p < dt.size(); ++p) {
    inter += dt[p] && gt[p];
    uni += dt[p] || gt[p];
    dt_area += dt[p] != 0;
  }
  if (inter == 0) return 0;
  return double(inter) / double(crowd ? dt_area : uni);
}

// --- Polygon rasteriser, literally as the pixel rule states it. -------------

// Add 0.5 and truncate toward zero; out of range (and NaN) is INT32_MIN.
inline int32_t quantise(double v) {
  const double s = v + 0.5;
  if (std::isnan(s) || !(s > -2147483649.0 && s < 2147483648.0)) {
    return std::numeric_limits<int32_t>::min();
  }
  return static_cast<int32_t>(std::trunc(s));
}

// Number of outline points the literal walk visits for these coordinates, so
// that tests can keep the reference within a memory budget.
inline uint64_t outline_points(std::span<const double> coords) {
  const size_t k = coords.size() / 2;
  uint64_t total = 0;
  for (size_t j = 0; j < k; ++j) {
    const size_t n = (j + 1) % k;
    const int64_t dx = std::llabs(int64_t{quantise(5 * coords[2 * n])} -
                                  quantise(5 * coords[2 * j]));
    const int64_t dy = std::llabs(int64_t{quantise(5 * coords[2 * j + 1])} -
                                  quantise(5 * coords[2 * n + 1]));
    total += static_cast<uint64_t>(std::max(dx, dy)) + 1;
  }
  return total;
}

inline Rle literal_polygon(std::span<const double> coords, uint32_t h, uint32_t w) {
  const size_t k = coords.size() / 2;
  if (k == 0) return Rle{h, w, {h * w}};

  // Upsample by 5 onto the fine grid and close the ring.
  std::vector<int32_t> X(k + 1), Y(k + 1);
  for (size_t j = 0; j < k; ++j) {
    X[j] = quantise(5.0 * coords[2 * j]);
    Y[j] = quantise(5.0 * coords[2 * j + 1]);
  }
  X[k] = X[0];
  Y[k] = Y[0];

  // Every point of every edge, both endpoints included, in outline order.
  std::vector<int32_t> u, v;
  for (size_t j = 0; j < k; ++j) {
    const int64_t dx = std::llabs(int64_t{X[j + 1]} - X[j]);
    const int64_t dy = std::llabs(int64_t{Y[j]} - Y[j + 1]);
    if (dx >= dy) {
      const bool flipped = X[j + 1] < X[j];
      const int64_t xs = flipped ? X[j + 1] : X[j], ys = flipped ? Y[j + 1] : Y[j];
      const int64_t ye = flipped ? Y[j] : Y[j + 1];
      const double s = double(ye - ys) / double(dx);
      for (int64_t d = 0; d <= dx; ++d) {
        const int64_t t = flipped ? dx - d : d;
        u.push_back(static_cast<int32_t>(xs + t));
        v.push_back(quantise(double(t) * s + double(ys)));
      }
    } else {
      const bool flipped = Y[j] > Y[j + 1];
      const int64_t xs = flipped ? X[j + 1] : X[j], ys = flipped ? Y[j + 1] : Y[j];
      const int64_t xe = flipped ? X[j] : X[j + 1];
      const double s = double(xe - xs) / double(dy);
      for (int64_t d = 0; d <= dy; ++d) {
        const int64_t t = flipped ? dy - d : d;
        v.push_back(static_cast<int32_t>(ys + t));
        u.push_back(quantise(double(t) * s + double(xs)));
      }
    }
  }

  // Crossings of pixel-column centres by consecutive points.
  std::vector<uint32_t> a;
  const double last_column = double(uint64_t{w} - 1);
  for (size_t c = 1; c < u.size(); ++c) {
    const size_t p = c - 1;
    if (u[c] == u[p]) continue;
    const int64_t xprime = u[c] > u[p] ? int64_t{u[c]} - 1 : int64_t{u[c]};
    const double xd = (double(xprime) + 0.5) / 5.0 - 0.5;
    if (xd < 0 || std::floor(xd) != xd || xd > last_column) continue;
    double yd = (double(std::min(v[p], v[c])) + 0.5) / 5.0 - 0.5;
    if (yd < 0) {
      yd = 0;
    } else if (yd > h) {
      yd = h;
    }
    yd = std::ceil(yd);
    const uint32_t x = static_cast<uint32_t>(xd), y = static_cast<uint32_t>(yd);
    a.push_back(x * h + y);
  }

  // Crossings to run lengths.
  a.push_back(h * w);
  std::sort(a.begin(), a.end());
  std::vector<uint32_t> diff(a.size());
  diff[0] = a[0];
  for (size_t i = 1; i < a.size(); ++i) diff[i] = a[i] - a[i - 1];

  // Zero-length runs join their neighbours.
  std::vector<uint32_t> counts{diff[0]};
  size_t i = 1;
  while (i < diff.size()) {
    if (diff[i] != 0) {
      counts.push_back(diff[i]);
      i = i + 1;
    } else {
      i = i + 1;
      if (i < diff.size()) {
        counts.back() += diff[i];
        i = i + 1;
      }
    }
  }
  return Rle{h, w, counts};
}

// --- Boundary band: repeated 3x3 erosion with a background frame. ------------

inline int64_t erosion_passes(uint32_t h, uint32_t w, double ratio) {
  const uint64_t diag2 = uint64_t{h} * h + uint64_t{w} * w;
  const double d = std::round(ratio * std::sqrt(double(diag2)));
  int64_t n;
  if (std::isnan(d)) {
    n = 0;
  } else if (d >= 9223372036854775808.0) {
    n = std::numeric_limits<int64_t>::max();
  } else if (d < -9223372036854775808.0) {
    n = std::numeric_limits<int64_t>::min();
  } else {
    n = static_cast<int64_t>(d);
  }
  return n >= 2 ? n : 1;
}

inline Rle literal_boundary(const Rle& mask, double ratio) {
  const uint32_t h = mask.height, w = mask.width;
  if (h == 0 || w == 0) return mask;
  const int64_t passes = erosion_passes(h, w, ratio);
  const Pixels dense = naive_decode(mask);

  const size_t stride = size_t{h} + 2;
  Pixels src(stride * (size_t{w} + 2), 0), dst(src.size(), 0);
  for (uint32_t x = 0; x < w; ++x) {
    for (uint32_t y = 0; y < h; ++y) src[(x + 1) * stride + y + 1] = dense[size_t{x} * h + y];
  }
  for (int64_t pass = 0; pass < passes; ++pass) {
    for (size_t x = 1; x <= w; ++x) {
      for (size_t y = 1; y <= h; ++y) {
        bool all = true;
        for (int dxo = -1; dxo <= 1; ++dxo) {
          for (int dyo = -1; dyo <= 1; ++dyo) all = all && src[(x + dxo) * stride + y + dyo] != 0;
        }
        dst[x * stride + y] = all;
      }
    }
    std::fill(src.begin(), src.end(), 0);
    std::swap(src, dst);
    // Once nothing survives, further passes cannot change anything; this only
    // keeps absurd pass counts affordable.
    if (std::all_of(src.begin(), src.end(), [](uint8_t b) { return b == 0; })) break;
  }

  Pixels band(dense.size(), 0);
  for (uint32_t x = 0; x < w; ++x) {
    for (uint32_t y = 0; y < h; ++y) {
      const uint8_t m = dense[size_t{x} * h + y], e = src[(x + 1) * stride + y + 1];
      band[size_t{x} * h + y] = m > e ? m - e : 0;
    }
  }
  return naive_encode(band, h, w);
}

// --- Random masks. -----------------------------------------------------------

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
