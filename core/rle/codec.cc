#include "core/rle/codec.h"

#include "core/rle/codec_internal.h"
#include "core/rle/ops.h"

#include <algorithm>
#include <cstring>

// The vector counts decoder needs SSSE3, looked for at run time.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define QUILLSCORE_VECTOR_COUNTS 1
#include <immintrin.h>
#else
#define QUILLSCORE_VECTOR_COUNTS 0
#endif

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

// Hands the n counts of the string at p, in order, to take(i, count), a
// value at a time.
template <class Take>
void decode_values_portable(const uint8_t* p, size_t size, size_t n, Take&& take) {
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

#if QUILLSCORE_VECTOR_COUNTS
// The vector decoder: 16 bytes at a time, up to four values per step. The
// 8-bit mask of the value ends among the next eight bytes picks a step from
// a table: which bytes gather into which 32-bit lane, each lane's last byte
// (its sign) and sign extension, and how many values and bytes it takes.
// Values longer than four characters (only garbage holds them) go the plain
// way.
struct alignas(64) Step {
  uint8_t gather[16];
  uint8_t last[16];
  uint32_t extend[4];
};

struct StepTable {
  Step steps[256];
  uint8_t taken[256];  // bytes a step takes; 0 when its first value is long
  uint8_t values[256];
  StepTable() {
    for (unsigned ends = 0; ends < 256; ++ends) {
      Step& s = steps[ends];
      std::memset(s.gather, 0x80, sizeof s.gather);  // 0x80 gathers a zero
      std::memset(s.last, 0x80, sizeof s.last);
      std::memset(s.extend, 0, sizeof s.extend);
      unsigned start = 0, k = 0;
      for (unsigned j = 0; j < 8 && k < 4; ++j) {
        if (!((ends >> j) & 1)) continue;
        const unsigned len = j - start + 1;
        if (len > 4) break;
        for (unsigned q = 0; q < len; ++q) s.gather[4 * k + q] = static_cast<uint8_t>(start + q);
        s.last[4 * k] = static_cast<uint8_t>(j);
        s.extend[k] = ~0u << (5 * len);
        ++k;
        start = j + 1;
      }
      taken[ends] = static_cast<uint8_t>(start);
      values[ends] = static_cast<uint8_t>(k);
    }
  }
};

const StepTable& step_table() {
  static const StepTable table;
  return table;
}

// The raw values (the differences not yet undone, to 32 bits) from p on,
// into out, until p reaches `limit`; 64 bytes past any value starting
// before `limit` must be readable, and a long value is read up to
// `readable` at most. Returns one past the last value taken. The last step
// may take values starting up to eight bytes past `limit`, and every step
// stores four lanes: out needs room for three more than it takes.
__attribute__((target("ssse3"))) uint32_t* raw_block(const uint8_t*& p, const uint8_t* limit,
                                                     const uint8_t* readable, uint32_t* out,
                                                     const StepTable& table) {
  const __m128i bias = _mm_set1_epi8(48), low5 = _mm_set1_epi8(0x1f), sign = _mm_set1_epi32(0x10);
  const __m128i pair = _mm_set1_epi16(0x2001);     // bytes a, b -> a + 32 b
  const __m128i quad = _mm_set1_epi32(0x04000001);  // words a, b -> a + 1024 b
  while (p < limit) {
    // Bit j: byte p[j] ends a value (its continuation bit, 0x20 once 48 is
    // taken off, is clear).
    uint64_t ends = 0;
    for (int q = 0; q < 4; ++q) {
      const __m128i v = _mm_sub_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * q)), bias);
      ends |= uint64_t{static_cast<uint16_t>(_mm_movemask_epi8(_mm_slli_epi16(v, 2)))} << (16 * q);
    }
    ends = ~ends;
    // Eight bytes are looked at per step, so a fresh mask serves 56.
    for (const uint8_t* stop = std::min(p + 56, limit); p < stop;) {
      const unsigned key = static_cast<unsigned>(ends & 0xff);
      const unsigned taken = table.taken[key];
      if (taken == 0) {
        *out++ = static_cast<uint32_t>(read_value(p, readable));
        break;
      }
      const Step& s = table.steps[key];
      const __m128i v = _mm_sub_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), bias);
      const __m128i groups =
          _mm_and_si128(_mm_shuffle_epi8(v, _mm_load_si128(reinterpret_cast<const __m128i*>(s.gather))), low5);
      const __m128i x = _mm_madd_epi16(_mm_maddubs_epi16(groups, pair), quad);
      const __m128i last =
          _mm_and_si128(_mm_shuffle_epi8(v, _mm_load_si128(reinterpret_cast<const __m128i*>(s.last))), sign);
      const __m128i negative = _mm_cmpeq_epi32(last, sign);
      const __m128i extended = _mm_and_si128(negative, _mm_load_si128(reinterpret_cast<const __m128i*>(s.extend)));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_or_si128(x, extended));
      out += table.values[key];
      p += taken;
      ends >>= taken;
    }
  }
  return out;
}

bool vector_decoder_usable() {
  static const bool usable = __builtin_cpu_supports("ssse3");
  return usable;
}

// The raw values of the string at p by the vector decoder, handed to
// take(raw, n) a block at a time, in order.
template <class TakeRaw>
void raw_values_vector(const uint8_t* p, size_t size, TakeRaw&& take) {
  const StepTable& table = step_table();
  const uint8_t* end = p + size;
  constexpr size_t kBlock = 256;  // bytes per block; a byte ends at most one value
  uint32_t raw[kBlock + 8];
  while (end - p >= 64 + static_cast<ptrdiff_t>(kBlock)) {
    take(raw, static_cast<size_t>(raw_block(p, p + kBlock - 8, end, raw, table) - raw));
  }
  if (end - p > 64) take(raw, static_cast<size_t>(raw_block(p, end - 64, end, raw, table) - raw));
  // The last 64 bytes at most, copied out with "0" after them (64 to read
  // past the last start, and the eight a step looks at): a "0" ends a value
  // the text leaves open without adding to it, and the values it makes
  // beyond the text are not handed on.
  alignas(16) uint8_t tail[64 + 64 + 8];
  const size_t left = static_cast<size_t>(end - p);
  std::memcpy(tail, p, left);
  std::memset(tail + left, '0', sizeof tail - left);
  const size_t values = count_values(tail, left);
  const uint8_t* q = tail;
  raw_block(q, tail + left, tail + sizeof tail, raw, table);
  take(raw, values);
}

// decode_values with the vector decoder: the differences undone block by
// block.
template <class Take>
void decode_values_vector(const uint8_t* p, size_t size, Take&& take) {
  size_t i = 0;
  uint32_t before_last = 0, last = 0;  // counts i-2 and i-1
  raw_values_vector(p, size, [&](const uint32_t* raw, size_t n) {
    for (size_t j = 0; j < n; ++j, ++i) {
      const uint32_t count = raw[j] + (i > 2 ? before_last : 0);
      take(i, count);
      before_last = last;
      last = count;
    }
  });
}
#endif

// Hands the counts of the string at p, in order, to take(i, count).
template <class Take>
void decode_values(const uint8_t* p, size_t size, Take&& take) {
#if QUILLSCORE_VECTOR_COUNTS
  if (vector_decoder_usable()) return decode_values_vector(p, size, take);
#endif
  decode_values_portable(p, size, count_values(p, size), take);
}

}  // namespace

Rle counts_from_string(std::string_view bytes, uint32_t height, uint32_t width) {
  Rle r{height, width, {}};
  const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
  const size_t n = count_values(p, bytes.size());
  r.counts.resize(n);
  uint32_t* out = r.counts.data();
  decode_values(p, bytes.size(), [out, n](size_t i, uint32_t count) {
    if (i < n) out[i] = count;
  });
  return r;
}

RunExtent extent_from_string(std::string_view bytes, uint32_t height, uint32_t width) {
  // Walked in a local and copied out: the text is read through a byte
  // pointer, which may alias the returned object (the caller knows its
  // address), so walking in it sent the walk's state back to memory after
  // every count.
  RunExtent walk(height, width);
  const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
#if QUILLSCORE_VECTOR_COUNTS
  if (vector_decoder_usable()) {
    // Runs of zeros and ones in pairs; a block may end between the two.
    uint32_t zeros = 0, ones = 0;  // the latest of each, differences undone
    size_t i = 0;                  // index of the next raw value
    raw_values_vector(p, bytes.size(), [&](const uint32_t* raw, size_t n) {
      size_t j = 0;
      if ((i & 1) && n > 0) {
        ones = raw[j++] + (i > 2 ? ones : 0);
        walk.add_pair(zeros, ones);
        ++i;
      }
      for (; j + 1 < n; j += 2, i += 2) {
        zeros = raw[j] + (i > 2 ? zeros : 0);
        ones = raw[j + 1] + (i > 1 ? ones : 0);
        walk.add_pair(zeros, ones);
      }
      if (j < n) {
        zeros = raw[j] + (i > 2 ? zeros : 0);
        ++i;
      }
    });
    const RunExtent out = walk;
    return out;
  }
#endif
  decode_values(p, bytes.size(), [&walk](size_t, uint32_t count) { walk.add(count); });
  const RunExtent out = walk;
  return out;
}

uint32_t area_from_string(std::string_view bytes) {
  uint32_t area = 0;
  const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
#if QUILLSCORE_VECTOR_COUNTS
  if (vector_decoder_usable()) {
    // A run of ones is the one before it plus its own difference (from the
    // second on; the first run of ones is the second count, taken as it
    // is), so the runs of ones are running sums of the odd raw values.
    uint32_t ones = 0;
    size_t i = 0;
    raw_values_vector(p, bytes.size(), [&](const uint32_t* raw, size_t n) {
      for (size_t j = (i & 1) ? 0 : 1; j < n; j += 2) {
        ones += raw[j];
        area += ones;
      }
      i += n;
    });
    return area;
  }
#endif
  decode_values(p, bytes.size(), [&area](size_t i, uint32_t count) { area += (i & 1) ? count : 0; });
  return area;
}

namespace detail {

std::vector<uint32_t> counts_portable(std::string_view bytes) {
  const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
  std::vector<uint32_t> out(count_values(p, bytes.size()));
  decode_values_portable(p, bytes.size(), out.size(), [&out](size_t i, uint32_t count) { out[i] = count; });
  return out;
}

bool vector_counts_in_use() {
#if QUILLSCORE_VECTOR_COUNTS
  return vector_decoder_usable();
#else
  return false;
#endif
}

}  // namespace detail

}  // namespace quillscore::rle
