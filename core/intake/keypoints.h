// Keypoint lists gathered while a side is read, laid out once both sides are
// in: every annotation then holds the same number of points.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include "core/eval/model.h"

namespace quillscore::intake {

// Keypoint lists as read, before the count per annotation is known.
struct RawKeypoints {
  std::vector<double> values;
  std::vector<std::pair<size_t, size_t>> spans;  // (offset, length) per annotation
};

// Lays the lists of both sides out as count * 3 values per annotation, the
// first non-empty list (ground truth first) fixing the count; absent lists
// become zeros (nothing visible). Empties `gt_raw` and `dt_raw`. InputError
// when a list has another length.
void lay_out_keypoints(RawKeypoints& gt_raw, RawKeypoints& dt_raw, eval::Keypoints& gt,
                       eval::Keypoints& dt);

// The extent {x0, x1, y0, y1} of a result's keypoint list (x, y, v triples),
// over every point, visible or not, as a result's box and area are made from
// it; a NaN coordinate makes its axis NaN. `values` holds at least one triple.
std::array<double, 4> keypoint_extent(std::span<const double> values);

// A keypoint result's box [x0, y0, x1 - x0, y1 - y0] and area (x1 - x0) *
// (y1 - y0), from the extent above.
struct KeypointBox {
  rle::Box box;
  double area;
};
KeypointBox keypoint_box(std::span<const double> values);

}  // namespace quillscore::intake
