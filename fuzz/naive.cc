// The literal reference implementations declared in naive.h. Built without
// coverage instrumentation: libFuzzer should steer by the core's branches, and
// the point-by-point walks are costly enough without it. The ones the core's
// unit tests also hold the core to come from their reference header.
#include "fuzz/naive.h"

#include "core/rle/codec.h"
#include "tests/core/rle/reference.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace fuzz {

namespace ref = quillscore::rle::testref;

// ---------------------------------------------------------------- counts codec

std::vector<uint32_t> decode_counts(std::string_view s) { return ref::literal_decode_counts(s); }

std::string encode_counts(const std::vector<uint32_t>& counts) {
  std::string s;
  for (size_t i = 0; i < counts.size(); ++i) {
    int64_t x = counts[i];
    if (i >= 3) x = int64_t{counts[i]} - int64_t{counts[i - 2]};
    for (;;) {
      int64_t c = x & 0x1f;
      x = x >> 5;  // arithmetic shift
      const bool last = (c & 0x10) ? x == -1 : x == 0;
      if (!last) c |= 0x20;
      s.push_back(static_cast<char>(c + 48));
      if (last) break;
    }
  }
  return s;
}

// ---------------------------------------------------------- dense conversions

uint64_t counts_sum(const std::vector<uint32_t>& c) {
  uint64_t s = 0;
  for (uint32_t v : c) s += v;
  return s;
}

std::vector<uint8_t> to_dense(const std::vector<uint32_t>& counts, size_t n) {
  return ref::naive_dense(counts, n);
}

std::vector<uint32_t> from_dense(const std::vector<uint8_t>& px) { return ref::naive_runs(px); }

// A mask as the system itself would produce it: counts covering exactly h*w
// pixels and no empty run except possibly the leading run of zeros.
bool canonical(const Rle& r) {
  if (r.counts.empty()) return false;
  for (size_t i = 1; i < r.counts.size(); ++i) {
    if (r.counts[i] == 0) return false;
  }
  return counts_sum(r.counts) == uint64_t{r.height} * r.width;
}

// --------------------------------------------------------------------- boxes

Box bbox(const Rle& r) {
  const uint32_t h = r.height, w = r.width;
  const size_t m = r.counts.size() / 2 * 2;
  if (m == 0) return {0, 0, 0, 0};
  uint32_t xs = w, ys = h, xe = 0, ye = 0, cc = 0, xp = 0;
  for (size_t j = 0; j < m; ++j) {
    cc = cc + r.counts[j];
    const uint32_t t = cc - static_cast<uint32_t>(j % 2);
    const uint32_t x = h == 0 ? 0 : t / h;
    const uint32_t y = h == 0 ? 0 : t % h;
    if (j % 2 == 0) {
      xp = x;
    } else if (xp < x) {
      ys = 0;
      ye = h - 1;
    }
    if (x < xs) xs = x;
    if (x > xe) xe = x;
    if (y < ys) ys = y;
    if (y > ye) ye = y;
  }
  return {static_cast<double>(xs), static_cast<double>(ys), static_cast<double>(xe + 1 - xs),
          static_cast<double>(ye + 1 - ys)};
}

// min and max that return the other operand when one is NaN.
static double nmin(double a, double b) {
  if (std::isnan(a)) return b;
  if (std::isnan(b)) return a;
  return a < b ? a : b;
}
static double nmax(double a, double b) {
  if (std::isnan(a)) return b;
  if (std::isnan(b)) return a;
  return a > b ? a : b;
}

bool is_crowd(const std::vector<uint8_t>& crowd, size_t g) {
  return g < crowd.size() && crowd[g] != 0;
}

void box_iou(const std::vector<Box>& dt, const std::vector<Box>& gt,
                    const std::vector<uint8_t>& crowd, std::vector<double>& out) {
  const size_t m = dt.size(), n = gt.size();
  if (m == 0 || n == 0) return;
  for (size_t g = 0; g < n; ++g) {
    for (size_t d = 0; d < m; ++d) {
      const Box& db = dt[d];
      const Box& gb = gt[g];
      double& o = out[d * n + g];
      const double iw = nmin(db[0] + db[2], gb[0] + gb[2]) - nmax(db[0], gb[0]);
      if (iw <= 0) {
        o = 0;
        continue;
      }
      const double ih = nmin(db[1] + db[3], gb[1] + gb[3]) - nmax(db[1], gb[1]);
      if (ih <= 0) {
        o = 0;
        continue;
      }
      const double i = iw * ih;
      if (is_crowd(crowd, g)) {
        o = i / (db[2] * db[3]);
      } else {
        o = i / ((db[2] * db[3] + gb[2] * gb[3]) - i);
      }
    }
  }
}

// --------------------------------------------------------------------- merge

// Counts whose walk is defined by the pixel rule without ambiguity: sums that
// agree and stay far from 32-bit wrap-around.
static bool walkable(const std::vector<uint32_t>& a, const std::vector<uint32_t>& b) {
  const uint64_t sa = counts_sum(a), sb = counts_sum(b);
  return sa == sb && sa < (uint64_t{1} << 31);
}

uint32_t area(const Rle& r) {
  uint32_t a = 0;
  for (size_t j = 1; j < r.counts.size(); j += 2) a += r.counts[j];
  return a;
}

// The side-by-side walk of one fold step, exactly as the pixel rule states it.
static std::vector<uint32_t> merge_walk(const std::vector<uint32_t>& A,
                                        const std::vector<uint32_t>& B, bool intersect) {
  std::vector<uint32_t> C;
  uint32_t ca = A[0], cb = B[0];
  size_t a = 1, b = 1;
  bool va = false, vb = false, vp = false;
  uint32_t cc = 0;
  for (;;) {
    const uint32_t c = std::min(ca, cb);
    cc += c;
    ca -= c;
    if (ca == 0 && a < A.size()) {
      ca = A[a++];
      va = !va;
    }
    cb -= c;
    if (cb == 0 && b < B.size()) {
      cb = B[b++];
      vb = !vb;
    }
    const bool v = intersect ? (va && vb) : (va || vb);
    const bool stop = uint64_t{ca} + cb == 0;
    if (stop || v != vp) {
      C.push_back(cc);
      cc = 0;
    }
    vp = v;
    if (stop) break;
  }
  return C;
}

// nullopt when some fold step walks counts whose sums disagree (left open).
std::optional<Rle> merge(const std::vector<Rle>& masks, bool intersect) {
  if (masks.empty()) return Rle{};
  if (masks.size() == 1) return masks[0];
  const Rle& first = masks[0];
  std::vector<uint32_t> acc = first.counts;
  bool stopped = false;
  bool undefined = false;
  for (size_t k = 1; k < masks.size(); ++k) {
    const Rle& m = masks[k];
    if (m.height != first.height || m.width != first.width) return Rle{};
    if (stopped || undefined) continue;
    if (acc.empty() || m.counts.empty()) {
      stopped = true;
      acc.clear();
      continue;
    }
    if (!walkable(acc, m.counts)) {
      undefined = true;
      continue;
    }
    acc = merge_walk(acc, m.counts, intersect);
  }
  if (undefined) return std::nullopt;
  return Rle{first.height, first.width, acc};
}

// ----------------------------------------------------------------------- IoU

// The IoU matrix by the pixel rule. defined[e] is false for entries whose
// walk would compare counts with disagreeing sums (left open).
void rle_iou(const std::vector<Rle>& dt, const std::vector<Rle>& gt,
                    const std::vector<uint8_t>& crowd, double theta, std::vector<double>& out,
                    std::vector<uint8_t>& defined) {
  const size_t m = dt.size(), n = gt.size();
  defined.assign(m * n, 1);
  if (m == 0 || n == 0) return;
  std::vector<Box> db(m), gb(n);
  for (size_t d = 0; d < m; ++d) db[d] = bbox(dt[d]);
  for (size_t g = 0; g < n; ++g) gb[g] = bbox(gt[g]);
  box_iou(db, gb, crowd, out);
  const bool prune = theta > 0;
  std::vector<double> ad(m), ag(n);
  if (prune) {
    for (size_t d = 0; d < m; ++d) ad[d] = area(dt[d]);
    for (size_t g = 0; g < n; ++g) ag[g] = area(gt[g]);
  }
  for (size_t g = 0; g < n; ++g) {
    for (size_t d = 0; d < m; ++d) {
      const size_t e = d * n + g;
      if (out[e] <= 0) continue;
      const Rle& D = dt[d];
      const Rle& G = gt[g];
      if (D.height != G.height || D.width != G.width) {
        out[e] = -1;
        continue;
      }
      if (D.counts.empty() || G.counts.empty()) {
        out[e] = 0;
        continue;
      }
      const bool crowd_g = is_crowd(crowd, g);
      if (prune) {
        const Box& a = db[d];
        const Box& b = gb[g];
        const double bw =
            std::max(0.0, std::min(a[0] + a[2], b[0] + b[2]) - std::max(a[0], b[0]));
        const double bh =
            std::max(0.0, std::min(a[1] + a[3], b[1] + b[3]) - std::max(a[1], b[1]));
        const double i_ub = std::min(std::min(ad[d], ag[g]), bw * bh);
        const double u_lb = crowd_g ? ad[d] : (ad[d] + ag[g]) - i_ub;
        if (u_lb > 0 && theta > i_ub / u_lb) {
          out[e] = 0;
          continue;
        }
      }
      if (!walkable(D.counts, G.counts)) {
        defined[e] = 0;
        continue;
      }
      uint32_t ca = D.counts[0], cb = G.counts[0];
      size_t a = 1, b = 1;
      bool va = false, vb = false;
      uint32_t i = 0, u = 0;
      for (;;) {
        const uint32_t c = std::min(ca, cb);
        if (va || vb) u += c;
        if (va && vb) i += c;
        ca -= c;
        if (ca == 0 && a < D.counts.size()) {
          ca = D.counts[a++];
          va = !va;
        }
        cb -= c;
        if (cb == 0 && b < G.counts.size()) {
          cb = G.counts[b++];
          vb = !vb;
        }
        if (uint64_t{ca} + cb == 0) break;
      }
      if (i == 0) {
        out[e] = 0;
      } else if (crowd_g) {
        out[e] = static_cast<double>(i) / static_cast<double>(area(D));
      } else {
        out[e] = static_cast<double>(i) / static_cast<double>(u);
      }
    }
  }
}

// ------------------------------------------------- rasterisation, boundary

uint64_t walk_points(const std::vector<double>& coords) { return ref::outline_points(coords); }

Rle polygon(const std::vector<double>& coords, uint32_t h, uint32_t w) {
  return ref::literal_polygon(coords, h, w);
}

Rle boundary(const Rle& mask, double ratio) { return ref::literal_boundary(mask, ratio); }

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
