// Where an evaluation's images and categories sit in its parameter lists, and
// the per-image sizes masks are rasterised at.
#pragma once

#include <cstdint>
#include <span>
#include <unordered_map>
#include <utility>

#include "core/group/group_index.h"

namespace quillscore::intake {

using PositionTable = std::unordered_map<int64_t, uint32_t>;

struct LookupTables {
  PositionTable images;      // id -> position in the image id list
  PositionTable categories;  // id -> position in the category id list
  std::unordered_map<int64_t, std::pair<uint32_t, uint32_t>> sizes;  // image id -> (h, w)
};

// Id -> position in `ids`. A repeated id maps to its later position.
PositionTable position_table(std::span<const int64_t> ids);

// Positions in one table, group::kUnlisted for an id it lacks. Annotations
// come grouped by image and categories are few, so the previous answer is
// tried before the table.
class PositionLookup {
 public:
  explicit PositionLookup(const PositionTable& table) : table_(table) {}

  uint32_t operator()(int64_t id) {
    if (id == last_id_ && has_last_) return last_position_;
    const auto it = table_.find(id);
    last_id_ = id;
    last_position_ = it == table_.end() ? group::kUnlisted : it->second;
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
