// Where an evaluation's images and categories sit in its parameter lists, and
// the per-image sizes masks are rasterised at.
#pragma once

#include <cstdint>
#include <span>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/group/group_index.h"

namespace quillscore::intake {

// Id -> position in an id list; a repeated id maps to its later position.
// Every annotation is looked up, and real id lists (image ids 1..N, the
// categories) mostly fill their range, so such a list is kept as a plain
// array over the range; scattered ids go to a hash table.
class PositionTable {
 public:
  PositionTable() = default;
  explicit PositionTable(std::span<const int64_t> ids);

  // The id's position, group::kUnlisted for an id the list lacks.
  uint32_t find(int64_t id) const {
    if (dense_) {
      const uint64_t offset = static_cast<uint64_t>(id) - static_cast<uint64_t>(low_);
      return offset < by_offset_.size() ? by_offset_[offset] : group::kUnlisted;
    }
    const auto it = scattered_.find(id);
    return it == scattered_.end() ? group::kUnlisted : it->second;
  }

 private:
  bool dense_ = true;
  int64_t low_ = 0;
  std::vector<uint32_t> by_offset_;
  std::unordered_map<int64_t, uint32_t> scattered_;
};

struct LookupTables {
  PositionTable images;      // id -> position in the image id list
  PositionTable categories;  // id -> position in the category id list
  std::unordered_map<int64_t, std::pair<uint32_t, uint32_t>> sizes;  // image id -> (h, w)
};

// Positions in one table, group::kUnlisted for an id it lacks. Annotations
// come grouped by image and categories are few, so the previous answer is
// tried before the table.
class PositionLookup {
 public:
  explicit PositionLookup(const PositionTable& table) : table_(table) {}

  uint32_t operator()(int64_t id) {
    if (id == last_id_ && has_last_) return last_position_;
    last_id_ = id;
    last_position_ = table_.find(id);
    has_last_ = true;
    return last_position_;
  }

 private:
  const PositionTable& table_;
  int64_t last_id_ = 0;
  uint32_t last_position_ = group::kUnlisted;
  bool has_last_ = false;
};

}  // namespace quillscore::intake
