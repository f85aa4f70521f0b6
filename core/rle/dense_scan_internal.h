// Scanning of column-major byte masks, shared by the dense encoder and the
// boundary band.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quillscore::rle::detail {

// Index of the first byte at or after `i` that differs from `v`, or `n`.
// Masks are mostly long runs, so compare eight bytes at a time.
inline size_t next_change(const uint8_t* p, size_t i, size_t n, uint8_t v) {
  const uint64_t pattern = 0x0101010101010101ull * v;
  while (i + 8 <= n) {
    uint64_t word;
    std::memcpy(&word, p + i, 8);
    const uint64_t diff = word ^ pattern;
    if (diff != 0) return i + static_cast<size_t>(__builtin_ctzll(diff) / 8);
    i += 8;
  }
  while (i < n && p[i] == v) ++i;
  return i;
}

}  // namespace quillscore::rle::detail
