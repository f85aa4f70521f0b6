// Mask IoU matrices over masks decoded from the input, with crowd flags and a
// pruning threshold from the input. Checked against the literal walk where it
// is defined (equal sums), against plain pixel counting for well-formed
// masks, and for the pruning contract: a pruned entry is 0 and its exact IoU
// lies below the threshold.
//
// Input: h, w, flags, m, n, crowd bits, number of flags, theta selector
// [8 bytes of theta], then m + n mask strings separated by '|'.
//   flags bit 0: cut or pad each mask's counts to exactly h*w pixels
//   flags bit 1: drop empty runs after the first (well-formed masks)
//   flags bit 2: the first byte of each string picks a size variant
#include <cmath>
#include <cstring>

#include "core/rle/codec.h"
#include "core/rle/iou.h"
#include "fuzz/support.h"

using namespace quillscore::rle;

namespace {

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kThetas[] = {0.0,  0.5,   0.75, 0.95, 1.0,    0.1,    1e-300, -0.5,
                              kNan, kInf,  -kInf, 0.3, 0.999, 2.0,   0.05,   -0.0};

bool same(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }

void dump(const std::vector<Rle>& dt, const std::vector<Rle>& gt,
          const std::vector<uint8_t>& crowd, double theta) {
  std::fprintf(stderr, "theta %.17g, crowd flags:", theta);
  for (uint8_t c : crowd) std::fprintf(stderr, " %u", c);
  std::fprintf(stderr, "\n");
  for (const Rle& m : dt) fuzz::print_rle("dt", m);
  for (const Rle& m : gt) fuzz::print_rle("gt", m);
}

// rle_iou into a buffer of exactly m*n entries, pre-filled with a sentinel.
std::vector<double> run(const std::vector<Rle>& dt, const std::vector<Rle>& gt,
                        const std::vector<uint8_t>& crowd, double theta) {
  std::vector<const Rle*> d, g;
  for (const Rle& r : dt) d.push_back(&r);
  for (const Rle& r : gt) g.push_back(&r);
  std::vector<double> out(dt.size() * gt.size(), 12345.0);
  rle_iou(d, g, crowd, theta, out);
  return out;
}

// Counts that cannot wrap any 32-bit quantity of the walk and that stay
// within the image: boxes then contain every set pixel.
bool sane(const Rle& r) {
  return r.height > 0 && r.width > 0 && fuzz::ref::counts_sum(r.counts) <= uint64_t{r.height} * r.width;
}

// An empty run inside the counts ends the walk early when the other mask
// also changes colour there, so only masks without one have an IoU bounded
// by their areas and boxes.
bool no_empty_runs(const Rle& r) {
  for (size_t i = 1; i < r.counts.size(); ++i) {
    if (r.counts[i] == 0) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Reader in(data, size);
  const uint32_t h = in.u8() % 33, w = in.u8() % 33;
  const uint8_t flags = in.u8();
  const size_t m = in.u8() % 9, n = in.u8() % 9;
  const uint8_t crowd_bits = in.u8();
  const size_t nflags = in.u8() % 10;
  const uint8_t tsel = in.u8();
  const double theta = tsel < 16 ? kThetas[tsel] : tsel < 32 ? in.f64() : (tsel - 32) / 200.0;
  std::vector<uint8_t> crowd(nflags);
  for (size_t i = 0; i < nflags; ++i) crowd[i] = (crowd_bits >> (i % 8)) & 1 ? 1 + i : 0;

  const std::vector<std::string_view> parts = in.split_rest('|', m + n);
  std::vector<Rle> dt, gt;
  for (size_t k = 0; k < m + n; ++k) {
    const std::string_view s = k < parts.size() ? parts[k] : std::string_view{};
    (k < m ? dt : gt).push_back(fuzz::read_mask(s, h, w, flags));
  }

  const std::vector<double> exact = run(dt, gt, crowd, 0.0);
  const std::vector<double> pruned = run(dt, gt, crowd, theta);
  if (m == 0 || n == 0) return 0;

  // The literal walk, with and without pruning.
  for (const double t : {0.0, theta}) {
    std::vector<double> want(m * n);
    std::vector<uint8_t> defined;
    fuzz::ref::walk_iou(dt, gt, crowd, t, want, defined);
    const std::vector<double>& got = t == 0.0 ? exact : pruned;
    for (size_t e = 0; e < m * n; ++e) {
      if (defined[e] && !same(got[e], want[e])) {
        dump(dt, gt, crowd, t);
        std::fprintf(stderr, "entry d=%zu g=%zu: expected %.17g, actual %.17g\n", e / n, e % n,
                     want[e], got[e]);
        fuzz::fail("rle_iou differs from the literal walk");
      }
    }
  }

  for (size_t d = 0; d < m; ++d) {
    for (size_t g = 0; g < n; ++g) {
      const size_t e = d * n + g;
      const Rle& D = dt[d];
      const Rle& G = gt[g];
      const bool both_sane = sane(D) && sane(G);
      if (both_sane) {
        FUZZ_CHECK(exact[e] == -1 || (exact[e] >= 0 && exact[e] <= 1), "IoU outside [0, 1]");
        FUZZ_CHECK(pruned[e] == -1 || (pruned[e] >= 0 && pruned[e] <= 1),
                   "pruned IoU outside [0, 1]");
        if (no_empty_runs(D) && no_empty_runs(G) && !same(pruned[e], exact[e])) {
          if (!(pruned[e] == 0 && exact[e] < theta)) {
            dump(dt, gt, crowd, theta);
            std::fprintf(stderr, "entry d=%zu g=%zu: exact %.17g, pruned %.17g\n", d, g,
                         exact[e], pruned[e]);
            fuzz::fail("pruning changed an IoU that is not below theta");
          }
        }
      }
      // Pixel counting for well-formed masks of one size.
      if (D.height != G.height || D.width != G.width) {
        FUZZ_CHECK(exact[e] == -1 || exact[e] == 0, "masks of different sizes not -1 or 0");
        continue;
      }
      if (!fuzz::ref::canonical(D) || !fuzz::ref::canonical(G)) continue;
      const double want = fuzz::ref::naive_mask_iou(fuzz::ref::naive_decode(D),
                                                    fuzz::ref::naive_decode(G),
                                                    fuzz::ref::is_crowd(crowd, g));
      if (!same(exact[e], want)) {
        dump(dt, gt, crowd, 0.0);
        std::fprintf(stderr, "entry d=%zu g=%zu: pixels say %.17g, actual %.17g\n", d, g, want,
                     exact[e]);
        fuzz::fail("rle_iou differs from pixel counting on well-formed masks");
      }
    }
  }
  return 0;
}
