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
  r.counts.reserve(bytes.size() / 2 + 1);
  const size_t n = bytes.size();
  size_t p = 0;
  while (p < n) {
    int64_t x = 0;
    unsigned k = 0;
    bool more = true;
    while (more) {
      // Bytes outside "0".."o" are not rejected: they take part as (b - 48) mod 256.
      const uint8_t c = static_cast<uint8_t>(static_cast<uint8_t>(bytes[p++]) - 48);
      if (5 * k < 64) x |= static_cast<int64_t>(static_cast<uint64_t>(c & 0x1f) << (5 * k));
      more = (c & 0x20) != 0;
      // A final group with bit 0x10 set is negative: extend its sign.
      if ((c & 0x30) == 0x10 && 5 * (k + 1) <= 63) {
        x |= static_cast<int64_t>(~uint64_t{0} << (5 * (k + 1)));
      }
      ++k;
      if (p >= n) more = false;
    }
    const size_t i = r.counts.size();
    if (i > 2) x = static_cast<int64_t>(static_cast<uint64_t>(x) + r.counts[i - 2]);
    r.counts.push_back(static_cast<uint32_t>(x));
  }
  r.counts.shrink_to_fit();
  return r;
}

}  // namespace quillscore::rle
