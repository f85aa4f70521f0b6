// Boundary bands of small masks decoded from the input, with the dilation
// ratio from the input (NaN, infinities and huge values included). The band
// must equal the one obtained by literal 3x3 erosion passes on a padded image.
//
// Input: h, w, flags, ratio selector [8 bytes of ratio], then the counts
// string.
//   flags bit 0: cut or pad the counts to exactly h*w pixels
#include <cmath>

#include "core/rle/boundary.h"
#include "core/rle/codec.h"
#include "fuzz/support.h"

using namespace quillscore::rle;

namespace {

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kRatios[] = {0.02, 0.0,  -1.0, 0.1,  0.5,   kNan,   kInf, -kInf,
                              1e19, 0.05, 0.2,  1.0,  0.0707, 0.035, 9.3e18, -1e300};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Reader in(data, size);
  const uint32_t h = in.u8() % 25, w = in.u8() % 25;
  const uint8_t flags = in.u8();
  const uint8_t rsel = in.u8();
  const double ratio = rsel < 16 ? kRatios[rsel] : rsel < 32 ? in.f64() : (rsel - 32) / 400.0;
  const std::vector<std::string_view> rest = in.split_rest('\0', 1);
  Rle mask = counts_from_string(rest.empty() ? std::string_view{} : rest[0], h, w);
  if (flags & 1) fuzz::normalise(mask);

  const Rle got = rle_boundary(mask, ratio);
  const Rle want = fuzz::ref::literal_boundary(mask, ratio);
  if (got != want) {
    std::fprintf(stderr, "ratio %.17g\n", ratio);
    fuzz::print_rle("mask", mask);
    fuzz::print_rle("expected", want);
    fuzz::print_rle("actual", got);
    fuzz::fail("rle_boundary differs from literal erosion");
  }
  return 0;
}
