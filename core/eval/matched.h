// What accumulation reads of an evaluation's matching, and nothing of the
// geometry: per kept detection its score, image, rank within its image and
// what it counts as at every IoU threshold and area range; per image the
// ground truths that count in each area range. Precision, recall and every
// diagnostic that follows the evaluation's own matching are read from it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <compare>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace quillscore::eval {

struct EngineState;

// What a detection counts as at one IoU threshold and area range.
enum class Outcome : uint8_t { kFalsePositive = 0, kTruePositive = 1, kIgnored = 2 };

// Where a kept detection falls in accumulation's ranking: higher score first
// (NaN after every number, -0 with 0), then the earlier image, then the
// better rank within its image. Keys compare as plain integers, so that
// millions of them sort quickly.
struct RankingKey {
  uint64_t score;  // score_key of the score
  uint32_t image;  // any numbering that orders images as the evaluation lists them
  uint32_t rank;
  friend bool operator<(const RankingKey& a, const RankingKey& b) {
    if (a.score != b.score) return a.score < b.score;
    return (uint64_t{a.image} << 32 | a.rank) < (uint64_t{b.image} << 32 | b.rank);
  }

  static constexpr uint64_t kNaN = ~uint64_t{0};
  static uint64_t score_key(double score) {
    if (std::isnan(score)) return kNaN;
    const uint64_t bits = std::bit_cast<uint64_t>(score == 0 ? 0.0 : score);
    const uint64_t ascending = bits >> 63 ? ~bits : bits | uint64_t{1} << 63;
    return ~ascending;
  }
  // Whether score_of(key) gives back the very score the key was made of:
  // all but a zero (whose sign the key drops) and a NaN (whose payload it
  // drops).
  static bool invertible(uint64_t key) { return key != kNaN && key != score_key(0.0); }
  static double score_of(uint64_t key) {
    const uint64_t ascending = ~key;
    return std::bit_cast<double>(ascending >> 63 ? ascending & ~(uint64_t{1} << 63) : ~ascending);
  }
};

// Puts `items` into the ranking order of their keys (key_of(item), a
// RankingKey): a stable radix sort over the keys' bytes, least significant
// first, skipping any byte every key shares, several times faster than
// comparing keys at the sizes of a category's detections. `listed`: the
// items come in ascending (image, rank) order already, so that sorting by
// score alone gives the whole order.
template <class T, class KeyOf>
void sort_by_ranking(std::vector<T>& items, KeyOf key_of, bool listed) {
  const size_t n = items.size();
  if (n < 256) {
    std::stable_sort(items.begin(), items.end(), [&](const T& a, const T& b) { return key_of(a) < key_of(b); });
    return;
  }
  // Digit d of a key: the rank's bytes (0-3), the image's (4-7), then the
  // score key's (8-15).
  const auto digit = [](const RankingKey& k, unsigned d) -> unsigned {
    if (d < 4) return (k.rank >> (8 * d)) & 0xFF;
    if (d < 8) return (k.image >> (8 * (d - 4))) & 0xFF;
    return static_cast<unsigned>(k.score >> (8 * (d - 8))) & 0xFF;
  };
  const unsigned first = listed ? 8 : 0, digits = 16 - first;
  std::vector<std::array<uint32_t, 256>> counts(digits);
  for (auto& c : counts) c.fill(0);
  for (const T& item : items) {
    const RankingKey& k = key_of(item);
    for (unsigned d = 0; d < digits; ++d) ++counts[d][digit(k, first + d)];
  }
  std::vector<T> other(n);
  for (unsigned d = 0; d < digits; ++d) {
    auto& count = counts[d];
    if (count[digit(key_of(items[0]), first + d)] == n) continue;
    uint32_t at = 0;
    for (uint32_t& c : count) at += std::exchange(c, at);
    for (const T& item : items) other[count[digit(key_of(item), first + d)]++] = item;
    items.swap(other);
  }
}

// Outcomes packed four to a byte, one row per (area range, threshold) with a
// column per ranked detection, so that a pass over one setting reads one
// contiguous row.
class OutcomeTable {
 public:
  OutcomeTable() = default;
  OutcomeTable(size_t rows, size_t columns)
      : columns_(columns), stride_((columns + 3) / 4), bits_(rows * stride_, 0) {}

  Outcome get(size_t row, size_t column) const {
    return static_cast<Outcome>((bits_[row * stride_ + column / 4] >> (column % 4 * 2)) & 3);
  }
  // Only ever called once per cell on a zeroed table.
  void set(size_t row, size_t column, Outcome o) {
    bits_[row * stride_ + column / 4] |= static_cast<uint8_t>(static_cast<unsigned>(o) << (column % 4 * 2));
  }
  // Sets the outcomes of columns 4b .. 4b+3 of a row at once, two bits each
  // from the lowest up.
  void set_four(size_t row, size_t b, uint8_t packed) { bits_[row * stride_ + b] = packed; }
  // Outcomes 32w .. 32w+31 of a row, two bits each from the lowest up;
  // columns past the row's end read as 0.
  uint64_t word(size_t row, size_t w) const {
    const size_t at = w * 8;
    if (at >= stride_) return 0;
    uint64_t v = 0;
    std::memcpy(&v, bits_.data() + row * stride_ + at, std::min<size_t>(8, stride_ - at));
    static_assert(std::endian::native == std::endian::little, "outcome words are little-endian");
    return v;
  }
  size_t columns() const { return columns_; }
  size_t bytes() const { return bits_.size(); }

 private:
  size_t columns_ = 0, stride_ = 0;
  std::vector<uint8_t> bits_;
};

// One category slot (or the pooled one).
struct SlotMatches {
  // Images where the slot has ground truths or detections, by position in
  // params.img_ids, ascending; counted[i * A + a]: ground truths of the i-th
  // of them that count in area range a.
  std::vector<uint32_t> images;
  std::vector<uint32_t> counted;
  // Kept detections (per image the best maxDets[-1]) in accumulation's
  // ranking: score descending, NaN last, equal scores to the earlier image,
  // then to the better rank. image[i] indexes `images`; rank[i] is the
  // detection's place among its image's ranked detections.
  std::vector<double> scores;
  std::vector<uint32_t> image;
  std::vector<uint32_t> rank;
  OutcomeTable outcomes;  // row a * T + t

  size_t size() const { return scores.size(); }
  // Ground truths that count in area range a, over the images `include`
  // marks (by index into `images`; all when null).
  uint64_t counted_in(size_t a, size_t areas, const std::vector<uint8_t>* include = nullptr) const;
};

struct MatchedState {
  size_t t_n = 0, a_n = 0;
  std::vector<SlotMatches> slots;
};

// The matched state of an evaluator, built once by the first reader and
// shared: the parameters and annotations it derives from never change after
// construction, except through LVIS configuration, which drops it.
class MatchCache {
 public:
  std::shared_ptr<const MatchedState> get() const {
    std::lock_guard lock(mutex_);
    return state_;
  }
  // Keeps the first state put; returns the one kept.
  std::shared_ptr<const MatchedState> put(std::shared_ptr<const MatchedState> s) {
    std::lock_guard lock(mutex_);
    if (!state_) state_ = std::move(s);
    return state_;
  }
  void clear() {
    std::lock_guard lock(mutex_);
    state_.reset();
  }

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<const MatchedState> state_;
};

// The evaluator's matched state, matching every slot the first time.
std::shared_ptr<const MatchedState> matched_state(EngineState& st);

// Per category slot: the ground truths that count in area range a_idx and the
// kept detections (ignored ones included).
struct SlotCounts {
  std::vector<int64_t> ground_truths, detections;
};
SlotCounts slot_counts(EngineState& st, size_t a_idx);
SlotCounts slot_counts(const MatchedState& state, size_t a_idx);

}  // namespace quillscore::eval
