#include "core/json/siphash.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace quillscore::json {
namespace {

// SipHash-1-3 under the all-zero key, as the interpreter computes it for
// bytes objects with PYTHONHASHSEED=0 (hash(b) modulo 2^64): an independent
// implementation of the same function.
TEST(SipHash13, MatchesIndependentValues) {
  const SipKey zero{0, 0};
  std::string range15, range64;
  for (int i = 0; i < 15; ++i) range15 += static_cast<char>(i);
  for (int i = 0; i < 64; ++i) range64 += static_cast<char>(i);
  EXPECT_EQ(siphash13(zero, "a", 1), 4644417185603328019ULL);
  EXPECT_EQ(siphash13(zero, "image_id", 8), 15190466432752390167ULL);
  EXPECT_EQ(siphash13(zero, "category_id", 11), 12303289442570493146ULL);
  EXPECT_EQ(siphash13(zero, range15.data(), range15.size()), 17514137373579004394ULL);
  EXPECT_EQ(siphash13(zero, range64.data(), range64.size()), 8493894268803903686ULL);
}

TEST(SipHash13, KeyedAndSeededApart) {
  const SipKey a{1, 2}, b{1, 3};
  EXPECT_NE(siphash13(a, "id", 2), siphash13(b, "id", 2));
  const SipKey r1 = random_sip_key(), r2 = random_sip_key();
  EXPECT_FALSE(r1.k0 == r2.k0 && r1.k1 == r2.k1);
}

}  // namespace
}  // namespace quillscore::json
