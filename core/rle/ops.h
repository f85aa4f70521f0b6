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
  RunExtent(uint32_t height, uint32_t width) : h_(height), xs_(width), ys_(height) {}

  void add(uint32_t count) {
    cc_ += count;
    // The last pixel of a run of ones, or the first pixel of a run of zeros
    // (which is one past the previous run of ones).
    const uint32_t t = cc_ - (ones_ ? 1u : 0u);
    const uint32_t x = h_ ? t / h_ : 0, y = h_ ? t % h_ : 0;
    if (!ones_) {
      // Taken only once a run of ones follows: a trailing run of zeros does
      // not count.
      zx_ = x;
      zy_ = y;
    } else {
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
    ones_ = !ones_;
  }
  Box box() const {
    if (!any_) return {0, 0, 0, 0};
    return {static_cast<double>(xs_), static_cast<double>(ys_), static_cast<double>(xe_ + 1 - xs_),
            static_cast<double>(ye_ + 1 - ys_)};
  }
  uint32_t area() const { return area_; }

 private:
  void take(uint32_t x, uint32_t y) {
    xs_ = x < xs_ ? x : xs_;
    xe_ = x > xe_ ? x : xe_;
    ys_ = y < ys_ ? y : ys_;
    ye_ = y > ye_ ? y : ye_;
  }
  uint32_t h_, xs_, ys_, xe_ = 0, ye_ = 0, cc_ = 0, zx_ = 0, zy_ = 0, area_ = 0;
  bool ones_ = false, any_ = false;
};

// The extent of a whole mask.
RunExtent extent_of(const Rle& mask);

// Union (or intersection) of all masks. An empty list, or masks of different
// sizes, give the empty record.
Rle rle_merge(std::span<const Rle> masks, bool intersect);

}  // namespace quillscore::rle
