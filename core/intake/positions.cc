#include "core/intake/positions.h"

namespace quillscore::intake {

PositionTable position_table(std::span<const int64_t> ids) {
  PositionTable table;
  for (size_t i = 0; i < ids.size(); ++i) table[ids[i]] = static_cast<uint32_t>(i);
  return table;
}

}  // namespace quillscore::intake
