#include "core/rle/ops.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "tests/core/rle/random_masks.h"

namespace quillscore::rle {
namespace {

using CountList = std::vector<uint32_t>;
using testref::Pixels;

// --- encode_dense ------------------------------------------------------------

struct EncodeCase {
  Pixels pixels;
  CountList counts;
};

TEST(EncodeDense, Examples) {
  const EncodeCase cases[] = {
      {{}, {0}},
      {{1, 1, 0}, {0, 2, 1}},
      {{0, 0, 0}, {3}},
      {{1}, {0, 1}},
      {{0, 1, 0, 1}, {1, 1, 1, 1}},
      // Every change of byte value starts a run, not only 0 <-> 1.
      {{0, 2, 1}, {1, 1, 1}},
      {{1, 1, 2, 2}, {0, 2, 2}},
      // Changes on both sides of an eight-byte boundary.
      {{0, 0, 0, 0, 0, 0, 0, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 1}, {7, 2, 8, 1}},
  };
  for (const auto& c : cases) {
    const Rle r = encode_dense(c.pixels, 3, 6);
    EXPECT_EQ(r.counts, c.counts) << "for " << c.pixels.size() << " bytes";
    EXPECT_EQ(r.height, 3u);
    EXPECT_EQ(r.width, 6u);
  }
}

TEST(EncodeDense, MatchesNaiveRunsOnRandomBytes) {
  std::mt19937 rng(11);
  for (int iter = 0; iter < 4000; ++iter) {
    const size_t n = rng() % 200;
    Pixels px(n);
    const int kind = rng() % 3;
    uint8_t cur = 0;
    for (auto& b : px) {
      if (kind == 0) {
        b = rng() % 2;
      } else if (kind == 1) {
        // Long runs so that the word-at-a-time path finds changes anywhere in a word.
        if (rng() % 13 == 0) cur ^= 1;
        b = cur;
      } else {
        const uint8_t alphabet[] = {0, 1, 2, 255};
        b = alphabet[rng() % 4];
      }
    }
    ASSERT_EQ(encode_dense(px, 1, static_cast<uint32_t>(n)).counts, testref::naive_runs(px));
  }
}

// --- decode_dense ------------------------------------------------------------

struct DecodeCase {
  CountList counts;
  size_t length;
  Pixels expected;  // starting from a buffer of 7s
};

TEST(DecodeDense, ClipsAndLeavesUnreachedPositions) {
  const DecodeCase cases[] = {
      {{}, 4, {7, 7, 7, 7}},
      {{2, 3}, 8, {0, 0, 1, 1, 1, 7, 7, 7}},
      {{3}, 5, {0, 0, 0, 7, 7}},
      {{0, 2, 1}, 3, {1, 1, 0}},
      {{2, 10, 5}, 4, {0, 0, 1, 1}},
      {{0xFFFFFFFFu, 0xFFFFFFFFu}, 3, {0, 0, 0}},
      {{1, 0, 0, 2}, 4, {0, 1, 1, 7}},
      {{5, 5}, 0, {}},
  };
  for (const auto& c : cases) {
    // Guard bytes behind the span catch writes past its end.
    Pixels buf(c.length + 16, 7);
    decode_dense(Rle{1, static_cast<uint32_t>(c.length), c.counts}, std::span(buf).first(c.length));
    EXPECT_EQ(Pixels(buf.begin(), buf.begin() + c.length), c.expected);
    for (size_t i = c.length; i < buf.size(); ++i) ASSERT_EQ(buf[i], 7) << "wrote past the end";
  }
}

TEST(DecodeDense, ArbitraryCountsMatchNaiveExpansion) {
  std::mt19937 rng(12);
  for (int iter = 0; iter < 3000; ++iter) {
    CountList counts(rng() % 12);
    for (auto& c : counts) c = (rng() % 8 == 0) ? static_cast<uint32_t>(rng()) : rng() % 20;
    const size_t n = rng() % 100;
    Pixels buf(n + 8, 9), expected(n + 8, 9);
    decode_dense(Rle{1, 1, counts}, std::span(buf).first(n));
    testref::naive_decode_into(counts, std::span(expected).first(n));
    ASSERT_EQ(buf, expected);
  }
}

// --- rle_area ----------------------------------------------------------------

TEST(RleArea, SumsRunsOfOnesModulo2To32) {
  const std::pair<CountList, uint32_t> cases[] = {
      {{}, 0},
      {{9}, 0},
      {{0, 9}, 9},
      {{1, 2, 3, 4}, 6},
      {{1, 2, 3, 4, 5}, 6},
      {{0, 0xFFFFFFFFu, 0, 2}, 1},
      {{0, 0x80000000u, 0, 0x80000000u}, 0},
  };
  for (const auto& [counts, area] : cases) EXPECT_EQ(rle_area(Rle{1, 1, counts}), area);
}

// --- rle_bbox ----------------------------------------------------------------

struct BboxCase {
  uint32_t h, w;
  CountList counts;
  Box box;
};

TEST(RleBbox, Examples) {
  const BboxCase cases[] = {
      {4, 3, {5, 2, 5}, {1, 1, 1, 2}},
      // A run of ones crossing from column 0 into column 1 spans all rows.
      {4, 3, {3, 2, 7}, {0, 0, 2, 4}},
      {4, 3, {12}, {0, 0, 0, 0}},
      {4, 3, {0, 12}, {0, 0, 3, 4}},
      {4, 3, {}, {0, 0, 0, 0}},
      // A trailing run of zeros is ignored; so is anything after the last pair.
      {4, 3, {0, 1, 11}, {0, 0, 1, 1}},
      {4, 3, {11, 1}, {2, 3, 1, 1}},
      // An empty run of ones still marks the pixels around it.
      {4, 3, {5, 0, 7}, {1, 0, 1, 2}},
      // ... also at pixel 0, where "the pixel before" wraps to index 2^32 - 1.
      {4, 3, {0, 0, 5, 2, 5}, {0, 0, 1073741824, 4}},
      // Height 0 with at least one pair of runs.
      {0, 3, {0, 5}, {0, 0, 1, 1}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(rle_bbox(Rle{c.h, c.w, c.counts}), c.box)
        << "h=" << c.h << ", " << c.counts.size() << " counts";
  }
}

TEST(RleBbox, MatchesNaiveBoxOnRandomMasks) {
  std::mt19937 rng(13);
  const std::pair<uint32_t, uint32_t> sizes[] = {{1, 1}, {1, 9}, {9, 1}, {2, 2}, {5, 7},
                                                 {16, 16}, {31, 17}, {64, 48}};
  for (auto [h, w] : sizes) {
    for (int iter = 0; iter < 300; ++iter) {
      const Rle m = testref::random_mask(rng, h, w);
      ASSERT_EQ(rle_bbox(m), testref::naive_bbox(testref::naive_decode(m), h, w))
          << h << "x" << w << " iteration " << iter;
    }
  }
}

// --- rle_merge ---------------------------------------------------------------

struct MergeCase {
  std::vector<Rle> masks;
  bool intersect;
  Rle expected;
};

TEST(RleMerge, Examples) {
  const MergeCase cases[] = {
      {{{9, 1, {2, 2, 5}}, {9, 1, {3, 2, 4}}}, false, {9, 1, {2, 3, 4}}},
      {{{9, 1, {2, 2, 5}}, {9, 1, {3, 2, 4}}}, true, {9, 1, {3, 1, 5}}},
      {{{9, 1, {0, 9}}, {9, 1, {9}}}, false, {9, 1, {0, 9}}},
      {{{9, 1, {0, 9}}, {9, 1, {9}}}, true, {9, 1, {9}}},
      {{{3, 3, {9}}, {3, 3, {9}}}, false, {3, 3, {9}}},
      // Union whose first pixel is set starts with an empty run of zeros.
      {{{2, 2, {1, 3}}, {2, 2, {0, 1, 3}}}, false, {2, 2, {0, 4}}},
      // Disjoint and adjacent runs.
      {{{6, 1, {0, 2, 4}}, {6, 1, {2, 2, 2}}}, false, {6, 1, {0, 4, 2}}},
      {{{6, 1, {0, 2, 4}}, {6, 1, {2, 2, 2}}}, true, {6, 1, {6}}},
      // Three masks folded in order.
      {{{5, 1, {0, 3, 2}}, {5, 1, {1, 3, 1}}, {5, 1, {2, 3}}}, true, {5, 1, {2, 1, 2}}},
      {{{5, 1, {0, 1, 4}}, {5, 1, {2, 1, 2}}, {5, 1, {4, 1}}}, false, {5, 1, {0, 1, 1, 1, 1, 1}}},
      // Nothing, one mask, different sizes.
      {{}, false, {}},
      {{}, true, {}},
      {{{4, 2, {1, 6, 1}}}, false, {4, 2, {1, 6, 1}}},
      {{{4, 2, {1, 6, 1}}}, true, {4, 2, {1, 6, 1}}},
      {{{4, 2, {8}}, {2, 4, {8}}}, false, {}},
      {{{4, 2, {8}}, {4, 2, {8}}, {4, 3, {12}}}, true, {}},
      // A mask without counts ends the folding, but sizes are still compared.
      {{{3, 1, {}}, {3, 1, {0, 3}}}, false, {3, 1, {}}},
      {{{3, 1, {0, 3}}, {3, 1, {}}, {3, 1, {3}}}, false, {3, 1, {}}},
      {{{3, 1, {0, 3}}, {3, 1, {}}, {1, 3, {3}}}, false, {}},
      // The walk ends at the first step where both lists are used up, even
      // when both continue with an empty run at that pixel.
      {{{5, 1, {2, 0, 3}}, {5, 1, {2, 0, 3}}}, false, {5, 1, {2}}},
  };
  int index = 0;
  for (const auto& c : cases) {
    EXPECT_EQ(rle_merge(c.masks, c.intersect), c.expected) << "case " << index;
    ++index;
  }
}

const std::pair<uint32_t, uint32_t> kMergeSizes[] = {{0, 4},  {1, 1},  {1, 13}, {13, 1},
                                                     {4, 4},  {7, 11}, {24, 24}, {50, 37}};

TEST(RleMerge, MatchesDenseUnionAndIntersection) {
  std::mt19937 rng(14);
  for (auto [h, w] : kMergeSizes) {
    for (int iter = 0; iter < 250; ++iter) {
      std::vector<Rle> masks(2 + rng() % 4);
      for (auto& m : masks) m = testref::random_mask(rng, h, w);
      for (bool intersect : {false, true}) {
        // Canonical inputs give the canonical runs of the pixel result.
        ASSERT_EQ(rle_merge(masks, intersect), testref::naive_merge(masks, intersect))
            << h << "x" << w << " iteration " << iter << " intersect " << intersect;
      }
    }
  }
}

TEST(RleMerge, EmptyRunsInOneMaskKeepThePixels) {
  std::mt19937 rng(15);
  for (auto [h, w] : kMergeSizes) {
    for (int iter = 0; iter < 250; ++iter) {
      std::vector<Rle> masks(2 + rng() % 3);
      for (auto& m : masks) m = testref::random_mask(rng, h, w);
      // Empty runs in the first or the last mask only: where two lists have
      // an empty run at the same pixel the walk stops early by design.
      Rle& odd = (rng() % 2) ? masks.front() : masks.back();
      odd.counts = testref::with_empty_runs(rng, odd.counts);
      for (bool intersect : {false, true}) {
        const Rle merged = rle_merge(masks, intersect);
        ASSERT_EQ(merged.height, h);
        ASSERT_EQ(merged.width, w);
        uint64_t sum = 0;
        for (uint32_t c : merged.counts) sum += c;
        ASSERT_EQ(sum, uint64_t{h} * w);
        ASSERT_EQ(testref::naive_decode(merged),
                  testref::naive_decode(testref::naive_merge(masks, intersect)))
            << h << "x" << w << " iteration " << iter << " intersect " << intersect;
      }
    }
  }
}

TEST(RleMerge, InconsistentSumsTerminate) {
  std::mt19937 rng(16);
  testref::expect_terminates(
      [&] {
        const std::vector<std::vector<Rle>> fixed = {
            {{5, 1, {1, 1}}, {5, 1, {0, 5}}},
            {{5, 1, {0, 5}}, {5, 1, {1, 1}}},
            {{5, 1, {2, 9, 4}}, {5, 1, {5}}},
            {{5, 1, {0, 0, 0, 0}}, {5, 1, {5}}},
            {{5, 1, {0}}, {5, 1, {0, 0xFFFFFFFFu}}},
            {{5, 1, {0xFFFFFFFFu, 0xFFFFFFFFu}}, {5, 1, {1}}, {5, 1, {0, 0, 0}}},
        };
        for (const auto& masks : fixed) {
          for (bool intersect : {false, true}) (void)rle_merge(masks, intersect);
        }
        for (int iter = 0; iter < 20000; ++iter) {
          std::vector<Rle> masks(2 + rng() % 3);
          for (auto& m : masks) {
            m.height = 3;
            m.width = 3;
            m.counts.resize(1 + rng() % 8);
            for (auto& c : m.counts) {
              c = (rng() % 10 == 0) ? static_cast<uint32_t>(rng()) : rng() % 6;
            }
          }
          (void)rle_merge(masks, rng() % 2);
        }
      },
      "merging masks whose counts disagree");
}

}  // namespace
}  // namespace quillscore::rle
