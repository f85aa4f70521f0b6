// Compressed counts codec: any byte string decodes (no byte is rejected), the
// decoded counts match the literal decoder, and encoding them gives a string
// that decodes back to exactly the same counts. The input is also read as a
// raw list of 32-bit counts to push extreme values through the encoder.
#include <cstring>

#include "core/rle/codec.h"
#include "core/rle/ops.h"
#include "fuzz/support.h"

using namespace quillscore::rle;

namespace {

void check_round_trip(const std::vector<uint32_t>& counts, uint32_t h, uint32_t w) {
  const std::string s = counts_to_string(counts);
  if (s != fuzz::ref::literal_encode_counts(counts)) {
    fuzz::print_counts("counts", counts);
    fuzz::fail("counts_to_string differs from the literal encoder");
  }
  for (char c : s) {
    FUZZ_CHECK(c >= '0' && c <= 'o', "encoder wrote a character outside \"0\"..\"o\"");
  }
  const Rle back = counts_from_string(s, h, w);
  if (back.counts != counts) {
    fuzz::print_counts("counts", counts);
    fuzz::print_counts("decoded", back.counts);
    fuzz::fail("counts do not round-trip through the compressed string");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const uint32_t h = static_cast<uint32_t>(size * 2654435761u);
  const uint32_t w = size ? data[0] * 16777619u : 0;

  const Rle r = counts_from_string(bytes, h, w);
  FUZZ_CHECK(r.height == h && r.width == w, "decoder did not keep the given size");
  const std::vector<uint32_t> expect = fuzz::ref::literal_decode_counts(bytes);
  if (r.counts != expect) {
    fuzz::print_counts("expected", expect);
    fuzz::print_counts("actual", r.counts);
    fuzz::fail("counts_from_string differs from the literal decoder");
  }
  check_round_trip(r.counts, h, w);
  // The extents read off the text are those of the decoded counts.
  const RunExtent e = extent_from_string(bytes, h, w);
  FUZZ_CHECK(e.area() == rle_area(r) && area_from_string(bytes) == rle_area(r),
             "area read off the text differs from the decoded counts'");
  FUZZ_CHECK(e.box() == rle_bbox(r), "box read off the text differs from the decoded counts'");

  std::vector<uint32_t> raw(size / 4);
  if (!raw.empty()) std::memcpy(raw.data(), data, raw.size() * 4);
  check_round_trip(raw, w, h);
  return 0;
}
