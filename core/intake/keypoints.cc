#include "core/intake/keypoints.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "core/base/error.h"

namespace quillscore::intake {

void lay_out_keypoints(RawKeypoints& gt_raw, RawKeypoints& dt_raw, eval::Keypoints& gt,
                       eval::Keypoints& dt) {
  size_t values = 0;
  for (const RawKeypoints* raw : {&gt_raw, &dt_raw}) {
    for (const auto& [offset, len] : raw->spans) {
      if (values == 0 && len > 0) values = len - len % 3;
    }
  }
  for (auto [raw, out] : {std::pair{&gt_raw, &gt}, std::pair{&dt_raw, &dt}}) {
    out->count = static_cast<uint32_t>(values / 3);
    out->values.assign(raw->spans.size() * values, 0.0);
    for (size_t i = 0; i < raw->spans.size(); ++i) {
      const auto [offset, len] = raw->spans[i];
      if (len == 0) continue;
      if (len != values) {
        throw InputError("every keypoint list must hold the same number of values (" +
                         std::to_string(values) + "), got " + std::to_string(len));
      }
      std::copy_n(raw->values.begin() + static_cast<ptrdiff_t>(offset), len,
                  out->values.begin() + static_cast<ptrdiff_t>(i * values));
    }
    raw->values = {};
    raw->spans = {};
  }
}

std::array<double, 4> keypoint_extent(std::span<const double> values) {
  constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
  std::array<double, 4> e{values[0], values[0], values[1], values[1]};
  for (size_t i = 0; i + 1 < values.size(); i += 3) {
    for (size_t axis = 0; axis < 2; ++axis) {
      const double v = values[i + axis];
      double& lo = e[2 * axis];
      double& hi = e[2 * axis + 1];
      if (std::isnan(v) || std::isnan(lo)) {
        lo = hi = kNan;
      } else {
        lo = std::min(lo, v);
        hi = std::max(hi, v);
      }
    }
  }
  return e;
}

KeypointBox keypoint_box(std::span<const double> values) {
  const auto [x0, x1, y0, y1] = keypoint_extent(values);
  return {{x0, y0, x1 - x0, y1 - y0}, (x1 - x0) * (y1 - y0)};
}

}  // namespace quillscore::intake
