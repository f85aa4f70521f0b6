#include "core/rle/ops.h"

#include "core/pool/cancel.h"
#include "core/rle/dense_scan_internal.h"
#include "core/rle/run_cursor_internal.h"

#include <algorithm>
#include <cstring>

namespace quillscore::rle {
namespace {

// One fold step of a merge: the walk of two run lists into a new one.
std::vector<uint32_t> merge_two(std::span<const uint32_t> a_counts,
                                std::span<const uint32_t> b_counts, bool intersect) {
  std::vector<uint32_t> out;
  out.reserve(a_counts.size() + b_counts.size());
  detail::RunCursor a(a_counts), b(b_counts);
  bool vp = false;
  uint64_t cc = 0;
  for (;;) {
    const uint32_t c = detail::next_step(a, b);
    cc += c;
    a.take(c);
    b.take(c);
    const bool v = intersect ? (a.on && b.on) : (a.on || b.on);
    const bool done = uint64_t{a.left} + b.left == 0;
    if (done || v != vp) {
      out.push_back(static_cast<uint32_t>(cc));
      cc = 0;
    }
    vp = v;
    if (done) break;
  }
  return out;
}

// Whether the counts have no empty run after the first; `sum` gets their sum.
// Such masks, with equal sums, merge the same whether walked run by run or
// as sets of intervals, and their merge is the canonical run list.
bool is_regular(std::span<const uint32_t> counts, uint64_t& sum) {
  bool regular = true;
  sum = counts[0];
  for (size_t j = 1; j < counts.size(); ++j) {
    regular = regular && counts[j] != 0;
    sum += counts[j];
  }
  return regular;
}

// Set pixels as [start, end) intervals, and back to runs over `total` pixels.
void to_intervals(std::span<const uint32_t> counts, std::vector<uint64_t>& out) {
  out.clear();
  uint64_t pos = 0;
  for (size_t j = 0; j < counts.size(); ++j) {
    if (j & 1) {
      out.push_back(pos);
      out.push_back(pos + counts[j]);
    }
    pos += counts[j];
  }
}

// Union or intersection of two interval lists (each sorted, disjoint and
// non-adjacent), written into `out` with touching intervals joined.
void combine(const std::vector<uint64_t>& a, const std::vector<uint64_t>& b, bool intersect,
             std::vector<uint64_t>& out) {
  out.clear();
  auto emit = [&](uint64_t s, uint64_t e) {
    if (s >= e) return;
    if (!out.empty() && out.back() >= s) {
      if (e > out.back()) out.back() = e;
    } else {
      out.push_back(s);
      out.push_back(e);
    }
  };
  size_t i = 0, j = 0;
  if (intersect) {
    while (i < a.size() && j < b.size()) {
      emit(std::max(a[i], b[j]), std::min(a[i + 1], b[j + 1]));
      if (a[i + 1] < b[j + 1]) {
        i += 2;
      } else {
        j += 2;
      }
    }
    return;
  }
  while (i < a.size() || j < b.size()) {
    if (j >= b.size() || (i < a.size() && a[i] <= b[j])) {
      emit(a[i], a[i + 1]);
      i += 2;
    } else {
      emit(b[j], b[j + 1]);
      j += 2;
    }
  }
}

Rle merge_regular(std::span<const Rle> masks, bool intersect, uint64_t total) {
  std::vector<uint64_t> acc, next, tmp;
  to_intervals(masks[0].counts, acc);
  const pool::CancelCheck check;
  for (const Rle& m : masks.subspan(1)) {
    check();
    to_intervals(m.counts, next);
    combine(acc, next, intersect, tmp);
    acc.swap(tmp);
  }
  Rle out{masks[0].height, masks[0].width, {}};
  out.counts.reserve(acc.size() + 1);
  uint64_t pos = 0;
  for (size_t i = 0; i < acc.size(); i += 2) {
    out.counts.push_back(static_cast<uint32_t>(acc[i] - pos));
    out.counts.push_back(static_cast<uint32_t>(acc[i + 1] - acc[i]));
    pos = acc[i + 1];
  }
  if (pos < total || out.counts.empty()) out.counts.push_back(static_cast<uint32_t>(total - pos));
  return out;
}

}  // namespace

Rle encode_dense(std::span<const uint8_t> pixels, uint32_t height, uint32_t width) {
  Rle r{height, width, {}};
  r.counts.reserve(16);
  const uint8_t* p = pixels.data();
  const size_t n = pixels.size();
  uint8_t v = 0;
  size_t start = 0;
  size_t i = 0;
  while ((i = detail::next_change(p, i, n, v)) < n) {
    r.counts.push_back(static_cast<uint32_t>(i - start));
    start = i;
    v = p[i];
  }
  r.counts.push_back(static_cast<uint32_t>(n - start));
  r.counts.shrink_to_fit();
  return r;
}

void decode_dense(const Rle& mask, std::span<uint8_t> out) {
  size_t pos = 0;
  const size_t n = out.size();
  uint8_t v = 0;
  for (uint32_t c : mask.counts) {
    if (pos >= n) break;
    const size_t len = std::min<size_t>(c, n - pos);
    std::memset(out.data() + pos, v, len);
    pos += len;
    v ^= 1;
  }
}

uint32_t rle_area(const Rle& mask) {
  uint32_t a = 0;
  const auto& c = mask.counts;
  for (size_t j = 1; j < c.size(); j += 2) a += c[j];
  return a;
}

RunExtent extent_of(const Rle& mask) {
  RunExtent e(mask.height, mask.width);
  const auto& c = mask.counts;
  // A trailing run of zeros adds nothing.
  for (size_t i = 0; i + 1 < c.size(); i += 2) e.add_pair(c[i], c[i + 1]);
  return e;
}

Box rle_bbox(const Rle& mask) { return extent_of(mask).box(); }

Rle rle_merge(std::span<const Rle> masks, bool intersect) {
  if (masks.empty()) return {};
  const Rle& first = masks[0];
  if (masks.size() == 1) return first;
  for (const Rle& m : masks) {
    if (m.height != first.height || m.width != first.width) return {};
  }
  bool regular = true;
  uint64_t total = 0;
  for (const Rle& m : masks) {
    if (m.counts.empty()) return Rle{first.height, first.width, {}};
    uint64_t sum = 0;
    regular = regular && is_regular(m.counts, sum);
    if (&m == &first) total = sum;
    regular = regular && sum == total;
  }
  if (regular) return merge_regular(masks, intersect, total);
  Rle out{first.height, first.width, first.counts};
  const pool::CancelCheck check;
  for (const Rle& m : masks.subspan(1)) {
    check();
    out.counts = merge_two(out.counts, m.counts, intersect);
  }
  out.counts.shrink_to_fit();
  return out;
}

}  // namespace quillscore::rle
