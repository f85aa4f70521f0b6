// Annotations grouped by category slot and image, and the per-slot pairing of
// ground-truth groups with detection groups.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "core/base/error.h"

namespace quillscore::group {

// Image or category position meaning "not listed".
inline constexpr uint32_t kUnlisted = 0xFFFFFFFF;

// The annotations order[start .. start + count) of one image in one slot.
struct ImageGroup {
  uint32_t image = 0;
  uint32_t start = 0;
  uint32_t count = 0;
};

struct GroupIndex {
  std::vector<uint32_t> order;     // annotation indexes, grouped
  std::vector<ImageGroup> groups;  // by slot, then ascending image
  std::vector<std::pair<uint32_t, uint32_t>> slots;  // [first, end) group of each slot

  std::span<const uint32_t> members(const ImageGroup& g) const {
    if (size_t{g.start} + g.count > order.size()) throw InternalError("group out of bounds");
    return std::span(order).subspan(g.start, g.count);
  }
};

// One image of a slot with its ground-truth group, detection group, or both.
struct PairedGroup {
  bool has_gt = false;
  ImageGroup gt;
  uint32_t image = 0;
  bool has_dt = false;
  ImageGroup dt;
};

// Groups the annotations whose image and category are both listed. With
// categories in use the slot is the category position; otherwise every
// annotation falls into slot 0, ordered inside an image by category position.
GroupIndex build_group_index(std::span<const uint32_t> image_index,
                             std::span<const uint32_t> category_index, uint32_t slots,
                             bool use_cats);

// Every image with ground truths or detections in `slot`, ascending.
std::vector<PairedGroup> pair_groups(const GroupIndex& gt, const GroupIndex& dt, uint32_t slot);

// The one image of `slot` at image position `image`, with whatever either
// side holds there (neither side when it holds nothing).
PairedGroup find_pair(const GroupIndex& gt, const GroupIndex& dt, uint32_t slot, uint32_t image);

}  // namespace quillscore::group
