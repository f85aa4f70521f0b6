#include "core/rle/codec.h"

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

Rle counts_from_string(std::string_view bytes, uint32_t height, uint32_t width) {
  Rle r{height, width, {}};
  const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
  const auto* end = p + bytes.size();
  if (p == end) return r;
  // One count ends at every byte without the continuation bit, and one more
  // if the string stops inside a value: size the list exactly up front.
  size_t n = 0;
  for (const uint8_t* q = p; q != end; ++q) n += ((*q - 48) & 0x20) == 0;
  n += ((end[-1] - 48) & 0x20) != 0;
  r.counts.resize(n);
  uint32_t* out = r.counts.data();
  for (size_t i = 0; i < n; ++i) {
    // Bytes outside "0".."o" are not rejected: they take part as (b - 48) mod 256.
    int64_t x = 0;
    unsigned k = 0;
    uint8_t c;
    do {
      c = static_cast<uint8_t>(*p++ - 48);
      if (k < 13) x |= static_cast<int64_t>(static_cast<uint64_t>(c & 0x1f) << (5 * k));
      ++k;
    } while ((c & 0x20) && p != end);
    // A final group with bit 0x10 set is negative: extend its sign.
    if ((c & 0x30) == 0x10 && 5 * k <= 63) x |= static_cast<int64_t>(~uint64_t{0} << (5 * k));
    if (i > 2) x = static_cast<int64_t>(static_cast<uint64_t>(x) + out[i - 2]);
    out[i] = static_cast<uint32_t>(x);
  }
  return r;
}

}  // namespace quillscore::rle
