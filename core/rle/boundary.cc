#include "core/rle/boundary.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "core/rle/dense_scan_internal.h"

namespace quillscore::rle {
namespace {

// Number of 3x3 erosion passes for the ratio.
int64_t erosion_passes(uint32_t h, uint32_t w, double ratio) {
  const uint64_t diag2 = uint64_t{h} * h + uint64_t{w} * w;
  const double d = std::round(ratio * std::sqrt(static_cast<double>(diag2)));
  int64_t n;
  if (std::isnan(d)) {
    n = 0;
  } else if (d >= 9223372036854775808.0) {
    n = std::numeric_limits<int64_t>::max();
  } else if (d <= -9223372036854775808.0) {
    n = std::numeric_limits<int64_t>::min();
  } else {
    n = static_cast<int64_t>(d);
  }
  return n >= 2 ? n : 1;
}

// Calls fn(begin, end) for every non-empty run of ones, as pixel positions
// cut off at the image's end.
template <class Fn>
void for_each_run_of_ones(const Rle& mask, size_t pixels, Fn&& fn) {
  size_t pos = 0;
  bool one = false;
  for (uint32_t c : mask.counts) {
    if (pos >= pixels) break;
    const size_t end = std::min<size_t>(pos + c, pixels);
    if (one && end > pos) fn(pos, end);
    pos = end;
    one = !one;
  }
}

// The rows and columns holding set pixels, inclusive.
struct Extent {
  size_t x0, x1, y0, y1;
};

// A run of ones that continues into the next column covers the bottom of one
// column and the top of the next, so it spans every row.
bool extent_of(const Rle& mask, size_t h, size_t pixels, Extent& e) {
  bool any = false;
  e = {SIZE_MAX, 0, SIZE_MAX, 0};
  for_each_run_of_ones(mask, pixels, [&](size_t begin, size_t end) {
    const size_t xa = begin / h, xb = (end - 1) / h;
    const size_t ya = xa == xb ? begin % h : 0, yb = xa == xb ? (end - 1) % h : h - 1;
    e.x0 = std::min(e.x0, xa);
    e.x1 = std::max(e.x1, xb);
    e.y0 = std::min(e.y0, ya);
    e.y1 = std::max(e.y1, yb);
    any = true;
  });
  return any;
}

// Builds the counts of a mask column by column from pixel values given at
// increasing positions; positions skipped are 0.
class RunWriter {
 public:
  explicit RunWriter(Rle& out) : out_(out) {}
  void set(size_t pos, uint8_t v) {
    if (v == value_) return;
    // The image's size may not fit 32 bits; runs are cut like the dense
    // encoder cuts them.
    out_.counts.push_back(static_cast<uint32_t>(pos - start_));
    start_ = pos;
    value_ = v;
  }
  void finish(size_t pixels) { out_.counts.push_back(static_cast<uint32_t>(pixels - start_)); }
  uint8_t value() const { return value_; }

 private:
  Rle& out_;
  size_t start_ = 0;
  uint8_t value_ = 0;
};

}  // namespace

Rle rle_boundary(const Rle& mask, double ratio) {
  const uint32_t h = mask.height, w = mask.width;
  if (h == 0 || w == 0) return mask;
  const int64_t n = erosion_passes(h, w, ratio);
  const size_t pixels = size_t{h} * w;
  Rle out{h, w, {}};
  Extent e;
  if (!extent_of(mask, h, pixels, e)) {
    out.counts.push_back(static_cast<uint32_t>(pixels));
    return out;
  }

  // Everything outside the rows and columns holding set pixels is background,
  // as the image's outside is; so the erosion of the mask within that window,
  // with the window's outside as background, is the erosion within the image.
  // Memory and time then follow the mask's extent, not the image's size.
  const size_t hs = e.y1 - e.y0 + 1, ws = e.x1 - e.x0 + 1;
  std::vector<uint8_t> dense(hs * ws, 0);
  for_each_run_of_ones(mask, pixels, [&](size_t begin, size_t end) {
    for (size_t x = begin / h, last = (end - 1) / h; x <= last; ++x) {
      const size_t top = std::max(begin, x * h) - x * h, bottom = std::min(end, (x + 1) * h) - x * h;
      std::fill(dense.begin() + (x - e.x0) * hs + (top - e.y0),
                dense.begin() + (x - e.x0) * hs + (bottom - e.y0), uint8_t{1});
    }
  });

  // n passes of a 3x3 erosion with a background frame keep exactly the pixels
  // whose whole (2n+1)-square lies inside the image and inside the mask. The
  // square is separable: first keep the pixels with n set pixels above and
  // below in their column, then those with n such pixels left and right in
  // their row. Each direction is a count of consecutive set pixels, so the
  // cost does not grow with n.
  const uint64_t span = 2 * static_cast<uint64_t>(n) + 1;
  if (span <= hs && span <= ws) {
    const size_t nn = static_cast<size_t>(n);
    // Vertical: a run of set pixels [a, b) in a column keeps [a + n, b - n).
    std::vector<uint8_t> vert(hs * ws, 0);
    for (size_t x = 0; x < ws; ++x) {
      const uint8_t* col = dense.data() + x * hs;
      uint8_t* v = vert.data() + x * hs;
      size_t y = 0;
      while (y < hs) {
        if (!col[y]) {
          ++y;
          continue;
        }
        const size_t a = y;
        while (y < hs && col[y]) ++y;
        if (y - a >= span) std::fill(v + a + nn, v + y - nn, uint8_t{1});
      }
    }
    // Horizontal: run[y] counts the consecutive columns up to x where row y
    // is set in `vert`; column x - n survives when that count reaches 2n+1.
    // Its vertical pass is done, so the survivors leave the mask at once, and
    // what stays of it is the band.
    std::vector<uint32_t> run(hs, 0);
    const uint32_t need = static_cast<uint32_t>(span);
    for (size_t x = 0; x < ws; ++x) {
      const uint8_t* col = vert.data() + x * hs;
      for (size_t y = 0; y < hs; ++y) run[y] = col[y] ? std::min(run[y] + 1, need) : 0;
      if (x >= 2 * nn) {
        uint8_t* band = dense.data() + (x - nn) * hs;
        for (size_t y = 0; y < hs; ++y) band[y] &= run[y] != need;
      }
    }
  }

  // Runs of the band in image order. After each window column the next pixel
  // in image order, x * h + y1 + 1, lies outside the window unless the window
  // spans whole columns and another column follows.
  RunWriter runs(out);
  for (size_t x = 0; x < ws; ++x) {
    const size_t base = (e.x0 + x) * h + e.y0;
    const uint8_t* col = dense.data() + x * hs;
    for (size_t y = 0; (y = detail::next_change(col, y, hs, runs.value())) < hs;) {
      runs.set(base + y, col[y]);
    }
    const size_t after = base + hs;
    if ((hs < h || x + 1 == ws) && after < pixels) runs.set(after, 0);
  }
  runs.finish(pixels);
  return out;
}

}  // namespace quillscore::rle
