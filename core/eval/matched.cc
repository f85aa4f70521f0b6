#include "core/eval/matched.h"

#include "core/base/checked.h"
#include "core/eval/model.h"

namespace quillscore::eval {

uint64_t SlotMatches::counted_in(size_t a, size_t areas, const std::vector<uint8_t>* include) const {
  uint64_t n = 0;
  for (size_t i = 0; i < images.size(); ++i) {
    if (!include || (*include)[i]) n += counted[i * areas + a];
  }
  return n;
}

SlotCounts slot_counts(EngineState& st, size_t a_idx) {
  checked_index(a_idx, st.params.area_rng.size(), "area range");
  return slot_counts(*matched_state(st), a_idx);
}

SlotCounts slot_counts(const MatchedState& state, size_t a_idx) {
  checked_index(a_idx, state.a_n, "area range");
  SlotCounts out;
  for (const SlotMatches& sm : state.slots) {
    out.ground_truths.push_back(static_cast<int64_t>(sm.counted_in(a_idx, state.a_n)));
    out.detections.push_back(static_cast<int64_t>(sm.size()));
  }
  return out;
}

}  // namespace quillscore::eval
