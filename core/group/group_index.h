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

// Which groups (slot, image) hold at least one of a set's annotations: a bit
// per group. Past kMaxMarkedGroups groups no bits are kept and every group
// counts as holding some.
class GroupMarks {
 public:
  static constexpr uint64_t kMaxMarkedGroups = uint64_t{1} << 28;

  GroupMarks(std::span<const uint32_t> image_index, std::span<const uint32_t> category_index,
             size_t images, uint32_t slots, bool use_cats);

  // Whether the group of an annotation at image position `image` and
  // category position `category` holds one of the set's.
  bool holds(uint32_t image, uint32_t category) const {
    if (!kept_) return true;
    const uint32_t slot = use_cats_ ? category : 0;
    if (image >= images_ || slot >= slots_) return false;
    const uint64_t bit = uint64_t{slot} * images_ + image;
    return (bits_[bit >> 6] >> (bit & 63)) & 1;
  }

 private:
  std::vector<uint64_t> bits_;
  uint64_t images_ = 0;
  uint32_t slots_ = 0;
  bool use_cats_ = true;
  bool kept_ = false;
};

// Every image with ground truths or detections in `slot`, ascending.
std::vector<PairedGroup> pair_groups(const GroupIndex& gt, const GroupIndex& dt, uint32_t slot);

// The one image of `slot` at image position `image`, with whatever either
// side holds there (neither side when it holds nothing).
PairedGroup find_pair(const GroupIndex& gt, const GroupIndex& dt, uint32_t slot, uint32_t image);

}  // namespace quillscore::group
