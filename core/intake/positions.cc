#include "core/intake/positions.h"

#include <algorithm>

namespace quillscore::intake {

PositionTable::PositionTable(std::span<const int64_t> ids) {
  if (ids.empty()) return;
  const auto [low, high] = std::minmax_element(ids.begin(), ids.end());
  // The range as unsigned, so that ids far apart cannot overflow it; an
  // array of at most four slots per id (and a floor for short lists).
  const uint64_t range = static_cast<uint64_t>(*high) - static_cast<uint64_t>(*low);
  if (range < std::max<uint64_t>(4 * uint64_t{ids.size()}, 4096)) {
    low_ = *low;
    by_offset_.assign(range + 1, group::kUnlisted);
    for (size_t i = 0; i < ids.size(); ++i) {
      by_offset_[static_cast<uint64_t>(ids[i]) - static_cast<uint64_t>(low_)] = static_cast<uint32_t>(i);
    }
    return;
  }
  dense_ = false;
  for (size_t i = 0; i < ids.size(); ++i) scattered_[ids[i]] = static_cast<uint32_t>(i);
}

}  // namespace quillscore::intake
