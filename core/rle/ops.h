// Conversions, measures and merging of run-length masks.
#pragma once

#include <cstdint>
#include <span>

#include "core/rle/rle.h"

namespace quillscore::rle {

// Runs of a column-major byte mask; every change of byte value starts a run.
Rle encode_dense(std::span<const uint8_t> pixels, uint32_t height, uint32_t width);

// Writes the runs into `out` from position 0, clipped at its end; positions
// no run reaches are left as they are.
void decode_dense(const Rle& mask, std::span<uint8_t> out);

// Number of set pixels, modulo 2^32.
uint32_t rle_area(const Rle& mask);

// Bounding box [x, y, w, h] of the set pixels; [0, 0, 0, 0] when none.
Box rle_bbox(const Rle& mask);

// rle_bbox and rle_area of a mask whose counts come one at a time, for
// readers that never hold the whole list.
class RunExtent {
 public:
  RunExtent(uint32_t height, uint32_t width)
      : h_(height),
        xs_(width),
        ys_(height)
#ifdef __SIZEOF_INT128__
        // A pixel's column is a multiply by this and a shift, not a division
        // (exact for every 32-bit position and height of 2 or more).
        ,
        inverse_(height > 1 ? ~uint64_t{0} / height + 1 : 0)
#endif
  {
  }

  void add(uint32_t count) {
    cc_ += count;
    // The last pixel of a run of ones, or the first pixel of a run of zeros
    // (which is one past the previous run of ones).
    uint32_t x, y;
    place(cc_ - (ones_ ? 1u : 0u), x, y);
    if (!ones_) {
      // Taken only once a run of ones follows: a trailing run of zeros does
      // not count.
      zx_ = x;
      zy_ = y;
    } else {
      ones(count, x, y);
    }
    ones_ = !ones_;
  }

  // add(zeros) then add(ones), for a reader that holds both: the two
  // places are worked out side by side.
  void add_pair(uint32_t zeros, uint32_t ones_count) {
    const uint32_t start = cc_ + zeros;
    cc_ = start + ones_count;
    uint32_t x, y;
    place(start, zx_, zy_);
    place(cc_ - 1, x, y);
    ones(ones_count, x, y);
  }

  Box box() const {
    if (!any_) return {0, 0, 0, 0};
    return {static_cast<double>(xs_), static_cast<double>(ys_), static_cast<double>(xe_ + 1 - xs_),
            static_cast<double>(ye_ + 1 - ys_)};
  }
  uint32_t area() const { return area_; }

 private:
  // Column x and row y of pixel t (0, 0 for an empty image).
  void place(uint32_t t, uint32_t& x, uint32_t& y) const {
#ifdef __SIZEOF_INT128__
    if (h_ > 1) {
      x = static_cast<uint32_t>((static_cast<unsigned __int128>(inverse_) * t) >> 64);
      y = t - x * h_;
      return;
    }
#endif
    x = h_ ? t / h_ : 0;
    y = h_ ? t % h_ : 0;
  }
  // A run of ones of `count` from the place kept for it to (x, y).
  void ones(uint32_t count, uint32_t x, uint32_t y) {
    area_ += count;
    take(zx_, zy_);
    // A run of ones that wraps into a further column spans whole rows.
    if (zx_ < x) {
      ys_ = 0;
      ye_ = h_ - 1;
    }
    take(x, y);
    any_ = true;
  }
  void take(uint32_t x, uint32_t y) {
    xs_ = x < xs_ ? x : xs_;
    xe_ = x > xe_ ? x : xe_;
    ys_ = y < ys_ ? y : ys_;
    ye_ = y > ye_ ? y : ye_;
  }
  uint32_t h_, xs_, ys_, xe_ = 0, ye_ = 0, cc_ = 0, zx_ = 0, zy_ = 0, area_ = 0;
#ifdef __SIZEOF_INT128__
  uint64_t inverse_;
#endif
  bool ones_ = false, any_ = false;
};

// The extent of a whole mask.
RunExtent extent_of(const Rle& mask);

// Union (or intersection) of all masks. An empty list, or masks of different
// sizes, give the empty record.
Rle rle_merge(std::span<const Rle> masks, bool intersect);

}  // namespace quillscore::rle
