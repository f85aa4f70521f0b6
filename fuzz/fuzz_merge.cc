// Union and intersection of several masks decoded from the input. Checked
// against the literal fold walk whenever it is defined (equal sums), and
// against a plain pixel-by-pixel OR / AND when the masks are well formed.
//
// Input: h, w, flags, then mask strings separated by '|'.
//   flags bit 0: cut or pad each mask's counts to exactly h*w pixels
//   flags bit 1: drop empty runs after the first (well-formed masks)
//   flags bit 2: the first byte of each string picks a size variant
#include "core/rle/codec.h"
#include "core/rle/ops.h"
#include "fuzz/support.h"

using namespace quillscore::rle;

namespace {

constexpr size_t kMaxMasks = 12;

void check(const std::vector<Rle>& masks, bool intersect) {
  const Rle got = rle_merge(masks, intersect);
  const char* op = intersect ? "intersection" : "union";

  // Sizes that differ anywhere give the empty record.
  bool same_size = true;
  for (const Rle& m : masks) {
    same_size = same_size && m.height == masks[0].height && m.width == masks[0].width;
  }
  if (masks.empty() || !same_size) {
    FUZZ_CHECK(got == Rle{}, "merge of nothing or of different sizes is not the empty record");
    return;
  }
  FUZZ_CHECK(got.height == masks[0].height && got.width == masks[0].width,
             "merge result does not take the first mask's size");

  if (const std::optional<Rle> want = fuzz::ref::walk_merge(masks, intersect)) {
    if (got != *want) {
      std::fprintf(stderr, "%s of %zu masks\n", op, masks.size());
      for (const Rle& m : masks) fuzz::print_rle("input", m);
      fuzz::print_rle("expected", *want);
      fuzz::print_rle("actual", got);
      fuzz::fail("rle_merge differs from the literal fold walk");
    }
  }

  const size_t n = size_t{masks[0].height} * masks[0].width;
  bool well_formed = n <= 4096;
  for (const Rle& m : masks) well_formed = well_formed && fuzz::ref::canonical(m);
  if (!well_formed) return;
  const Rle want = fuzz::ref::naive_merge(masks, intersect);
  const bool full = fuzz::ref::counts_sum(got.counts) == n;
  if (!full || fuzz::ref::naive_decode(got) != fuzz::ref::naive_decode(want)) {
    std::fprintf(stderr, "%s of %zu well-formed masks\n", op, masks.size());
    for (const Rle& m : masks) fuzz::print_rle("input", m);
    fuzz::print_rle("expected", want);
    fuzz::print_rle("actual", got);
    fuzz::fail("rle_merge differs from the pixel-wise merge");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Reader in(data, size);
  const uint32_t h = in.u8() % 33, w = in.u8() % 33;
  const uint8_t flags = in.u8();
  std::vector<Rle> masks;
  for (std::string_view s : in.split_rest('|', kMaxMasks)) {
    masks.push_back(fuzz::read_mask(s, h, w, flags));
  }
  check(masks, false);
  check(masks, true);
  return 0;
}
