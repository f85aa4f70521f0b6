// The run-length-encoded binary mask shared by every part of the system.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace quillscore::rle {

// One binary mask. Pixels are column-major (row y, column x at x*h + y);
// runs alternate 0s and 1s starting with a (possibly empty) run of 0s.
// A well-formed mask has counts summing to height * width.
struct Rle {
  uint32_t height = 0;
  uint32_t width = 0;
  std::vector<uint32_t> counts;

  friend bool operator==(const Rle&, const Rle&) = default;
};

// [x, y, w, h]: left column, top row, width, height.
using Box = std::array<double, 4>;

}  // namespace quillscore::rle
