// Input shaping for the fuzz targets. Built without coverage feedback, like
// the references: libFuzzer should steer by the core's branches.
#include "fuzz/support.h"

#include <algorithm>

#include "core/rle/codec.h"

namespace fuzz {

// ------------------------------------------------------------ input shaping

// Makes decoded counts cover exactly h*w pixels: runs are cut where the
// image ends and a final run fills any rest.
void normalise(Rle& r) {
  const uint64_t hw = uint64_t{r.height} * r.width;
  std::vector<uint32_t> out;
  uint64_t sum = 0;
  for (uint32_t c : r.counts) {
    if (sum >= hw) break;
    const uint64_t take = std::min<uint64_t>(c, hw - sum);
    out.push_back(static_cast<uint32_t>(take));
    sum += take;
  }
  if (sum < hw || out.empty()) out.push_back(static_cast<uint32_t>(hw - sum));
  r.counts = std::move(out);
}

// Drops empty runs after the first by joining their neighbours.
void drop_empty_runs(Rle& r) {
  std::vector<uint32_t> out;
  for (size_t i = 0; i < r.counts.size(); ++i) {
    const uint32_t c = r.counts[i];
    if (i > 0 && c == 0) {
      if (i + 1 < r.counts.size()) {
        out.back() += r.counts[i + 1];
        ++i;
      }
      continue;
    }
    out.push_back(c);
  }
  r.counts = std::move(out);
}

Rle read_mask(std::string_view piece, uint32_t h, uint32_t w, uint8_t flags) {
  if ((flags & 4) && !piece.empty()) {
    const uint8_t sel = static_cast<uint8_t>(piece[0]) % 8;
    piece.remove_prefix(1);
    if (sel == 0) h = h + 1;
    if (sel == 1) w = w + 1;
  }
  Rle r = quillscore::rle::counts_from_string(piece, h, w);
  if (flags & 1) normalise(r);
  if (flags & 2) drop_empty_runs(r);
  return r;
}

}  // namespace fuzz
