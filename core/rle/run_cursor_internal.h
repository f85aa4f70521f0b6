// The side-by-side walk over the runs of two masks shared by merging and by
// mask IoU.
#pragma once

#include <cstdint>
#include <span>

namespace quillscore::rle::detail {

// Cursor over the runs of one mask.
struct RunCursor {
  std::span<const uint32_t> counts;
  size_t next = 1;   // index of the next run to load
  uint32_t left = 0; // pixels left in the current run
  bool on = false;   // colour of the current run

  explicit RunCursor(std::span<const uint32_t> c) : counts(c), left(c[0]) {}

  // Takes `c` pixels and loads the next run when the current one is used up.
  // A list that runs out while the other still holds pixels continues as an
  // endless run of zeros, so masks whose sums disagree still terminate.
  void take(uint32_t c) {
    left -= c;
    if (left == 0 && next < counts.size()) {
      left = counts[next++];
      on = !on;
    }
  }
  bool exhausted() const { return left == 0 && next >= counts.size(); }
};

// Before each step of a walk: when one list has run out while the other still
// holds pixels, give it a virtual run of zeros as long as the other's current
// run. Returns the length of the step.
inline uint32_t next_step(RunCursor& a, RunCursor& b) {
  if (a.exhausted() && b.left > 0) {
    a.on = false;
    a.left = b.left;
    return b.left;
  }
  if (b.exhausted() && a.left > 0) {
    b.on = false;
    b.left = a.left;
    return a.left;
  }
  return a.left < b.left ? a.left : b.left;
}

}  // namespace quillscore::rle::detail
