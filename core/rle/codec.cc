#include "core/rle/codec.h"

#include "core/rle/ops.h"

#include <cstring>

namespace quillscore::rle {

std::string counts_to_string(std::span<const uint32_t> counts) {
  // A value is at most 33 bits wide, so at most 7 characters.
  std::string out(7 * counts.size(), '\0');
  char* p = out.data();
  for (size_t i = 0; i < counts.size(); ++i) {
    // From position 3 on a count is written as the difference to the run of
    // the same colour one cycle earlier, which keeps most values small.
    int64_t x = counts[i];
    if (i > 2) x -= static_cast<int64_t>(counts[i - 2]);
    // 5-bit groups, least significant first; bit 0x20 continues the value and
    // bit 0x10 of the last group is its sign.
    for (bool more = true; more;) {
      char c = static_cast<char>(x & 0x1f);
      x >>= 5;
      more = (c & 0x10) ? x != -1 : x != 0;
      if (more) c |= 0x20;
      *p++ = static_cast<char>(c + 48);
    }
  }
  out.resize(static_cast<size_t>(p - out.data()));
  return out;
}

namespace {

// One value the plain way, up to `end`: used near the end of the string, and
// for values longer than eight characters (which only garbage holds).
int64_t read_value(const uint8_t*& p, const uint8_t* end) {
  int64_t x = 0;
  unsigned k = 0;
  uint8_t c;
  do {
    // Bytes outside "0".."o" are not rejected: they take part as (b - 48) mod 256.
    c = static_cast<uint8_t>(*p++ - 48);
    if (k < 13) x |= static_cast<int64_t>(static_cast<uint64_t>(c & 0x1f) << (5 * k));
    ++k;
  } while ((c & 0x20) && p != end);
  // A final group with bit 0x10 set is negative: extend its sign.
  if ((c & 0x30) == 0x10 && 5 * k <= 63) x |= static_cast<int64_t>(~uint64_t{0} << (5 * k));
  return x;
}

constexpr uint64_t kHigh = 0x8080808080808080ull;
constexpr uint64_t kBias = 0x3030303030303030ull;  // "0" in every byte

// Length of the value starting at p (eight bytes readable), or 0 when it is
// longer than eight characters.
unsigned value_length8(const uint8_t* p) {
  uint64_t w;
  std::memcpy(&w, p, 8);
  w = ((w | kHigh) - kBias) ^ ((w ^ ~kBias) & kHigh);
  const uint64_t ends = ~w & 0x2020202020202020ull;
  return ends ? static_cast<unsigned>(__builtin_ctzll(ends)) / 8 + 1 : 0;
}

// The value held by the `len` (1 to 8) characters at p, with eight bytes
// readable: subtract 48 from all eight bytes at once and pack the 5-bit
// groups of the first `len`, without a branch per character.
int64_t value8(const uint8_t* p, unsigned len) {
  uint64_t w;
  std::memcpy(&w, p, 8);
  w = ((w | kHigh) - kBias) ^ ((w ^ ~kBias) & kHigh);  // bytewise w - 48, no borrows
  uint64_t g = w & 0x1f1f1f1f1f1f1f1full;
  g = (g & 0x00ff00ff00ff00ffull) | ((g & 0xff00ff00ff00ff00ull) >> 3);
  g = (g & 0x0000ffff0000ffffull) | ((g & 0xffff0000ffff0000ull) >> 6);
  g = (g & 0x00000000ffffffffull) | ((g >> 32) << 20);
  const unsigned bits = 5 * len;
  uint64_t x = g & ((uint64_t{1} << bits) - 1);
  if (((w >> (8 * len - 8)) & 0x30) == 0x10) x |= ~uint64_t{0} << bits;
  return static_cast<int64_t>(x);
}

}  // namespace

namespace {

// How many counts the string at p holds: one ends at every byte without the
// continuation bit, and one more if the string stops inside a value.
// Eight bytes at a time: `ends` marks, in bit 5 of each byte, the bytes that
// end a value.
size_t count_values(const uint8_t* p, size_t size) {
  if (size == 0) return 0;
  auto ends = [&](size_t j) {
    uint64_t w;
    std::memcpy(&w, p + j, 8);
    return ~(((w | kHigh) - kBias) ^ ((w ^ ~kBias) & kHigh)) & 0x2020202020202020ull;
  };
  const size_t whole = size & ~size_t{7};
  size_t n = 0;
  // (Count the marks with a multiply: the baseline instruction set has no popcount.)
  for (size_t j = 0; j < whole; j += 8) n += ((ends(j) >> 5) * 0x0101010101010101ull) >> 56;
  for (size_t j = whole; j < size; ++j) n += ((p[j] - 48) & 0x20) == 0;
  n += ((p[size - 1] - 48) & 0x20) != 0;
  return n;
}

// Hands the n counts of the string at p, in order, to take(i, count).
template <class Take>
void decode_values(const uint8_t* p, size_t size, size_t n, Take&& take) {
  const uint8_t* end = p + size;
  uint32_t before_last = 0, last = 0;  // counts i-2 and i-1
  for (size_t i = 0; i < n; ++i) {
    int64_t x;
    const uint8_t c = static_cast<uint8_t>(*p - 48);
    if (!(c & 0x20)) {
      // Most counts after the first few are small differences: one character.
      x = (c & 0x10) ? static_cast<int64_t>(c & 0x1f) - 32 : (c & 0x1f);
      ++p;
    } else if (end - p >= 8) {
      const unsigned len = value_length8(p);
      x = len ? value8(p, len) : read_value(p, end);
      p += len;
    } else {
      x = read_value(p, end);
    }
    if (i > 2) x = static_cast<int64_t>(static_cast<uint64_t>(x) + before_last);
    const auto count = static_cast<uint32_t>(x);
    take(i, count);
    before_last = last;
    last = count;
  }
}

}  // namespace

Rle counts_from_string(std::string_view bytes, uint32_t height, uint32_t width) {
  Rle r{height, width, {}};
  const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
  const size_t n = count_values(p, bytes.size());
  r.counts.resize(n);
  uint32_t* out = r.counts.data();
  decode_values(p, bytes.size(), n, [out](size_t i, uint32_t count) { out[i] = count; });
  return r;
}

RunExtent extent_from_string(std::string_view bytes, uint32_t height, uint32_t width) {
  // Walked in a local and copied out: the text is read through a byte
  // pointer, which may alias the returned object (the caller knows its
  // address), so walking in it sent the walk's state back to memory after
  // every count.
  RunExtent walk(height, width);
  const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
  decode_values(p, bytes.size(), count_values(p, bytes.size()),
                [&walk](size_t, uint32_t count) { walk.add(count); });
  const RunExtent out = walk;
  return out;
}

uint32_t area_from_string(std::string_view bytes) {
  uint32_t area = 0;
  const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
  decode_values(p, bytes.size(), count_values(p, bytes.size()),
                [&area](size_t i, uint32_t count) { area += (i & 1) ? count : 0; });
  return area;
}

}  // namespace quillscore::rle
