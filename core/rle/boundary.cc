#include "core/rle/boundary.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "core/rle/ops.h"

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

}  // namespace

Rle rle_boundary(const Rle& mask, double ratio) {
  const uint32_t h = mask.height, w = mask.width;
  if (h == 0 || w == 0) return mask;
  const int64_t n = erosion_passes(h, w, ratio);
  const size_t hs = h, size = size_t{h} * w;

  std::vector<uint8_t> dense(size, 0);
  decode_dense(mask, dense);

  // n passes of a 3x3 erosion with a background frame keep exactly the pixels
  // whose whole (2n+1)-square lies inside the image and inside the mask. The
  // square is separable: first keep the pixels with n set pixels above and
  // below in their column, then those with n such pixels left and right in
  // their row. Each direction is a count of consecutive set pixels, so the
  // cost does not grow with n.
  const uint64_t span = 2 * static_cast<uint64_t>(n) + 1;
  std::vector<uint8_t> core(size, 0);
  if (span <= h && span <= w) {
    const size_t nn = static_cast<size_t>(n);
    // Vertical: a run of set pixels [a, b) in a column keeps [a + n, b - n).
    std::vector<uint8_t> vert(size, 0);
    for (size_t x = 0; x < w; ++x) {
      const uint8_t* col = dense.data() + x * hs;
      uint8_t* out = vert.data() + x * hs;
      size_t y = 0;
      while (y < hs) {
        if (!col[y]) {
          ++y;
          continue;
        }
        const size_t a = y;
        while (y < hs && col[y]) ++y;
        if (y - a >= span) std::fill(out + a + nn, out + y - nn, uint8_t{1});
      }
    }
    // Horizontal: run[y] counts the consecutive columns up to x where row y
    // is set in `vert`; column x - n survives when that count reaches 2n+1.
    std::vector<uint32_t> run(hs, 0);
    const uint32_t need = static_cast<uint32_t>(span);
    for (size_t x = 0; x < w; ++x) {
      const uint8_t* col = vert.data() + x * hs;
      for (size_t y = 0; y < hs; ++y) run[y] = col[y] ? std::min(run[y] + 1, need) : 0;
      if (x >= 2 * nn) {
        uint8_t* out = core.data() + (x - nn) * hs;
        for (size_t y = 0; y < hs; ++y) out[y] = run[y] == need;
      }
    }
  }
  // The band is the mask without its eroded core.
  for (size_t i = 0; i < size; ++i) dense[i] = dense[i] > core[i] ? dense[i] - core[i] : 0;
  return encode_dense(dense, h, w);
}

}  // namespace quillscore::rle
