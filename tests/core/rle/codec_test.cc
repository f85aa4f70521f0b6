#include "core/rle/codec.h"
#include "core/rle/codec_internal.h"
#include "core/rle/ops.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "tests/reference/rle.h"

namespace quillscore::rle {
namespace {

using CountList = std::vector<uint32_t>;

struct CodecCase {
  CountList counts;
  std::string text;
};

// Both directions of the format on hand-checked examples.
const CodecCase kCodecCases[] = {
    {{}, ""},
    {{0}, "0"},
    {{3, 5, 2}, "352"},
    {{100}, "T3"},
    {{31}, "o0"},
    {{32}, "P1"},
    // 16 alone would read as negative (bit 0x10 of a last group is the sign).
    {{16}, "`0"},
    {{15}, "?"},
    {{65535}, "ooo1"},
    // A mask whose first pixel is set starts with an empty run of zeros.
    {{0, 4, 2}, "042"},
    // From position 3 on, differences to the count two places earlier; they
    // can be negative. Position 2 is still a plain value.
    {{5, 10, 5, 3, 20}, "5:5I?"},
    {{10, 20, 30, 15, 5}, ":d0n0KWO"},
    {{1, 1, 1, 1, 1, 1}, "111000"},
    {{7, 9, 1000}, "79Xo0"},
};

TEST(CountsToString, WorkedExamples) {
  for (const auto& c : kCodecCases) {
    EXPECT_EQ(counts_to_string(c.counts), c.text) << "counts of size " << c.counts.size();
  }
}

TEST(CountsFromString, WorkedExamples) {
  for (const auto& c : kCodecCases) {
    const Rle r = counts_from_string(c.text, 3, 7);
    EXPECT_EQ(r.counts, c.counts) << "\"" << c.text << "\"";
    EXPECT_EQ(r.height, 3u);
    EXPECT_EQ(r.width, 7u);
  }
}

struct DecodeCase {
  std::string text;
  CountList counts;
};

TEST(CountsFromString, UnusualStrings) {
  const DecodeCase cases[] = {
      // The last character carries the continuation bit: the value read so
      // far is the last count.
      {"o", {31}},
      {"5o", {5, 31}},
      {"ooo", {32767}},
      {"P", {0}},
      // A lone group with the sign bit is negative, stored modulo 2^32.
      {"O", {0xFFFFFFFFu}},
      {"1O", {1, 0xFFFFFFFFu}},
      // Byte 96 continues (0x30) and the string ends: 16, not negative.
      {"`", {16}},
      // Bytes outside "0".."o" take part as (b - 48) mod 256: "/" is 255, which
      // continues, then "0" ends the value at 31; NUL is 208, a negative last
      // group; 0xFF is 207, a positive last group.
      {"/0", {31}},
      {std::string("\x00", 1), {0xFFFFFFF0u}},
      {std::string("\xff\x30", 2), {15, 0}},
      // More than 64 bits of groups: the excess is dropped, the low 32 bits
      // of all ones remain.
      {"oooooooooooooooooooo0", {0xFFFFFFFFu}},
      // Differences are added to the count two places earlier modulo 2^32,
      // both downwards and upwards.
      {"0500O", {0, 5, 0, 5, 0xFFFFFFFFu}},
      {"0O02", {0, 0xFFFFFFFFu, 0, 1}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(counts_from_string(c.text, 1, 1).counts, c.counts) << "\"" << c.text << "\"";
    EXPECT_EQ(testref::literal_decode_counts(c.text), c.counts) << "reference on \"" << c.text << "\"";
  }
}

TEST(CountsFromString, SizeIsTakenAsGivenNotChecked) {
  // Twelve pixels of runs on a 2 x 2 image: nothing checks the sum.
  const Rle r = counts_from_string("48", 2, 2);
  EXPECT_EQ(r, (Rle{2, 2, {4, 8}}));
  EXPECT_EQ(counts_from_string("", 0, 0), (Rle{0, 0, {}}));
  EXPECT_EQ(counts_from_string("", 5, 9), (Rle{5, 9, {}}));
}

// CountList lists mixing zeros, small values, values close to 2^32 - 1 and
// values that make large negative and positive differences.
CountList random_counts(std::mt19937& rng) {
  const size_t n = rng() % 40;
  CountList c(n);
  for (auto& v : c) {
    switch (rng() % 6) {
      case 0: v = 0; break;
      case 1: v = rng() % 32; break;
      case 2: v = 0xFFFFFFFFu - rng() % 4; break;
      case 3: v = 1u << (rng() % 32); break;
      case 4: v = static_cast<uint32_t>(rng()); break;
      default: v = rng() % 100000; break;
    }
  }
  return c;
}

TEST(Codec, RandomCountsRoundTrip) {
  std::mt19937 rng(20240611);
  for (int iter = 0; iter < 20000; ++iter) {
    const CountList c = random_counts(rng);
    const std::string s = counts_to_string(c);
    for (char ch : s) {
      ASSERT_GE(static_cast<unsigned char>(ch), '0');
      ASSERT_LE(static_cast<unsigned char>(ch), 'o');
    }
    const Rle back = counts_from_string(s, 11, 13);
    ASSERT_EQ(back.counts, c) << "encoded as \"" << s << "\"";
    ASSERT_EQ(extent_from_string(s, 11, 13).box(), rle_bbox(back));
    ASSERT_EQ(extent_from_string(s, 11, 13).area(), rle_area(back));
    ASSERT_EQ(area_from_string(s), rle_area(back));
    ASSERT_EQ(testref::literal_decode_counts(s), c);
  }
}

TEST(Codec, EveryCountValueNearTheEdgesRoundTrips) {
  // Each interesting value at every position class (plain, first difference).
  const uint32_t values[] = {0,  1,  15, 16, 17,         31,          32,          33,
                             511, 512, 1u << 31, (1u << 31) - 1, 0xFFFFFFFEu, 0xFFFFFFFFu};
  for (uint32_t a : values) {
    for (uint32_t b : values) {
      const CountList c{a, b, a, b, a, 0, b};
      ASSERT_EQ(counts_from_string(counts_to_string(c), 1, 1).counts, c) << a << " " << b;
    }
  }
}

TEST(CountsFromString, ArbitraryBytesMatchReferenceAndAreDeterministic) {
  std::mt19937 rng(7);
  for (int iter = 0; iter < 40000; ++iter) {
    // Mostly short texts, and some long enough for whole blocks of the
    // vector decoder and the stretches between them.
    const size_t n = iter % 4 == 0 ? rng() % 1500 : rng() % 64;
    std::string s(n, '\0');
    const int alphabet = rng() % 4;
    for (auto& ch : s) {
      if (alphabet == 0) {
        ch = static_cast<char>(rng() & 0xff);  // any byte
      } else if (alphabet == 1) {
        ch = static_cast<char>('0' + rng() % 64);  // the format's own range
      } else if (alphabet == 2) {
        ch = (rng() % 4) ? 'o' : static_cast<char>('0' + rng() % 64);  // long values
      } else {
        // Mostly short values, with here and there a long one or a stray byte.
        const unsigned r = rng() % 64;
        ch = r == 0 ? 'o' : r == 1 ? static_cast<char>(rng() & 0xff) : static_cast<char>('0' + rng() % 40);
      }
    }
    const Rle first = counts_from_string(s, 4, 4);
    const Rle second = counts_from_string(s, 4, 4);
    ASSERT_EQ(first, second);
    ASSERT_EQ(first.counts, testref::literal_decode_counts(s)) << "bytes of length " << n;
    ASSERT_EQ(detail::counts_portable(s), first.counts) << "bytes of length " << n;
    // Never more counts than characters.
    ASSERT_LE(first.counts.size(), n);
    // Extents read off the text are those of the decoded counts, whatever
    // the size (runs past h * w, wrapped sums and h = 0 included).
    const uint32_t h = rng() % 6, w = rng() % 6;
    const Rle sized = counts_from_string(s, h, w);
    const RunExtent e = extent_from_string(s, h, w);
    ASSERT_EQ(e.box(), rle_bbox(sized)) << "h " << h << " w " << w;
    ASSERT_EQ(e.area(), rle_area(sized));
    ASSERT_EQ(area_from_string(s), rle_area(sized));
  }
}

TEST(CountsFromString, TheVectorDecoderServesWhereTheProcessorHasIt) {
#if defined(__x86_64__)
  EXPECT_EQ(detail::vector_counts_in_use(), __builtin_cpu_supports("ssse3") != 0);
#else
  EXPECT_FALSE(detail::vector_counts_in_use());
#endif
}

TEST(CountsFromString, NonNulTerminatedView) {
  // Only the given length is read, even when more characters follow in memory.
  const std::string buf = "352T3";
  EXPECT_EQ(counts_from_string(std::string_view(buf.data(), 3), 1, 1).counts, (CountList{3, 5, 2}));
  // A cut inside a multi-character value ends that value early.
  EXPECT_EQ(counts_from_string(std::string_view(buf.data(), 4), 1, 1).counts,
            (CountList{3, 5, 2, 9}));
}

}  // namespace
}  // namespace quillscore::rle
