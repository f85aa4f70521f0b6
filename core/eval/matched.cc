#include "core/eval/matched.h"

#include <array>
#include <utility>

#include "core/base/checked.h"
#include "core/eval/model.h"

namespace quillscore::eval {

void sort_listed_keys(std::vector<RankingKey>& keys) {
  const size_t n = keys.size();
  if (n < 256) {
    // Listed order is the order of the key's tail, so the full comparison
    // sorts these alike.
    std::sort(keys.begin(), keys.end());
    return;
  }
  // Least significant byte first; a byte that every key shares moves
  // nothing and is skipped (scores in [0, 1] share their top bytes).
  constexpr size_t kBytes = sizeof(uint64_t);
  std::vector<std::array<uint32_t, 256>> counts(kBytes);
  for (const RankingKey& k : keys) {
    for (size_t b = 0; b < kBytes; ++b) ++counts[b][(k.score >> (8 * b)) & 0xFF];
  }
  std::vector<RankingKey> other(n);
  for (size_t b = 0; b < kBytes; ++b) {
    auto& count = counts[b];
    if (count[(keys[0].score >> (8 * b)) & 0xFF] == n) continue;
    uint32_t at = 0;
    for (uint32_t& c : count) at += std::exchange(c, at);
    for (const RankingKey& k : keys) other[count[(k.score >> (8 * b)) & 0xFF]++] = k;
    keys.swap(other);
  }
}

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
