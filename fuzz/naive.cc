// The literal reference implementations declared in naive.h. Built without
// coverage instrumentation: libFuzzer should steer by the core's branches, and
// the point-by-point walks are costly enough without it.
#include "fuzz/naive.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace fuzz {

// ---------------------------------------------------------------- counts codec

std::vector<uint32_t> decode_counts(std::string_view s) {
  std::vector<uint32_t> out;
  size_t p = 0;
  while (p < s.size()) {
    int64_t x = 0;
    unsigned k = 0;
    for (;;) {
      const uint8_t c = static_cast<uint8_t>(static_cast<uint8_t>(s[p]) - 48);
      ++p;
      if (5 * k < 64) {
        x = static_cast<int64_t>(static_cast<uint64_t>(x) | (uint64_t{c & 0x1fu} << (5 * k)));
      }
      if ((c & 0x30) == 0x10 && 5 * (k + 1) <= 63) {
        x = static_cast<int64_t>(static_cast<uint64_t>(x) | (~uint64_t{0} << (5 * (k + 1))));
      }
      k = k + 1;
      if ((c & 0x20) && p < s.size()) continue;
      break;
    }
    const size_t i = out.size();
    if (i >= 3) x = static_cast<int64_t>(static_cast<uint64_t>(x) + uint64_t{out[i - 2]});
    out.push_back(static_cast<uint32_t>(static_cast<uint64_t>(x)));
  }
  return out;
}

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

// Runs written into an n-pixel buffer of zeros, clipped at n.
std::vector<uint8_t> to_dense(const std::vector<uint32_t>& counts, size_t n) {
  std::vector<uint8_t> out(n, 0);
  size_t pos = 0;
  uint8_t v = 0;
  for (uint32_t c : counts) {
    for (uint32_t k = 0; k < c && pos < n; ++k) out[pos++] = v;
    v = static_cast<uint8_t>(1 - v);
  }
  return out;
}

std::vector<uint32_t> from_dense(const std::vector<uint8_t>& px) {
  std::vector<uint32_t> counts;
  uint8_t cur = 0;
  uint32_t run = 0;
  for (uint8_t b : px) {
    if (b != cur) {
      counts.push_back(run);
      run = 0;
      cur = b;
    }
    ++run;
  }
  counts.push_back(run);
  return counts;
}

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

// ------------------------------------------------------------- rasterisation

static int32_t quantise(double v) {
  const double s = v + 0.5;
  if (std::isnan(s) || !(s > -2147483649.0 && s < 2147483648.0)) {
    return std::numeric_limits<int32_t>::min();
  }
  return static_cast<int32_t>(std::trunc(s));
}

// Number of outline points the literal walk of this polygon visits (0 when
// it has no vertex).
uint64_t walk_points(const std::vector<double>& coords) {
  const size_t k = coords.size() / 2;
  if (k == 0) return 0;
  std::vector<int64_t> X(k + 1), Y(k + 1);
  for (size_t j = 0; j < k; ++j) {
    X[j] = quantise(5.0 * coords[2 * j]);
    Y[j] = quantise(5.0 * coords[2 * j + 1]);
  }
  X[k] = X[0];
  Y[k] = Y[0];
  uint64_t total = 0;
  for (size_t j = 0; j < k; ++j) {
    const int64_t dx = std::llabs(X[j + 1] - X[j]);
    const int64_t dy = std::llabs(Y[j] - Y[j + 1]);
    total += static_cast<uint64_t>(std::max(dx, dy)) + 1;
  }
  return total;
}

Rle polygon(const std::vector<double>& coords, uint32_t h, uint32_t w) {
  const size_t k = coords.size() / 2;
  if (k == 0) return Rle{h, w, {h * w}};
  // Upsample onto the fine grid.
  std::vector<int32_t> X(k + 1), Y(k + 1);
  for (size_t j = 0; j < k; ++j) {
    X[j] = quantise(5.0 * coords[2 * j]);
    Y[j] = quantise(5.0 * coords[2 * j + 1]);
  }
  X[k] = X[0];
  Y[k] = Y[0];
  // Walk every edge point by point.
  std::vector<int32_t> u(walk_points(coords)), v(u.size());
  size_t P = 0;
  for (size_t j = 0; j < k; ++j) {
    const int64_t dx = std::llabs(int64_t{X[j + 1]} - X[j]);
    const int64_t dy = std::llabs(int64_t{Y[j]} - Y[j + 1]);
    if (dx >= dy) {
      const bool flip = X[j + 1] < X[j];
      const int64_t xs = flip ? X[j + 1] : X[j], ys = flip ? Y[j + 1] : Y[j];
      const int64_t ye = flip ? Y[j] : Y[j + 1];
      const double s = static_cast<double>(ye - ys) / static_cast<double>(dx);
      for (int64_t d = 0; d <= dx; ++d) {
        const int64_t t = flip ? dx - d : d;
        u[P] = static_cast<int32_t>(xs + t);
        v[P] = quantise(static_cast<double>(t) * s + static_cast<double>(ys));
        ++P;
      }
    } else {
      const bool flip = Y[j] > Y[j + 1];
      const int64_t xs = flip ? X[j + 1] : X[j], ys = flip ? Y[j + 1] : Y[j];
      const int64_t xe = flip ? X[j] : X[j + 1];
      const double s = static_cast<double>(xe - xs) / static_cast<double>(dy);
      for (int64_t d = 0; d <= dy; ++d) {
        const int64_t t = flip ? dy - d : d;
        v[P] = static_cast<int32_t>(ys + t);
        u[P] = quantise(static_cast<double>(t) * s + static_cast<double>(xs));
        ++P;
      }
    }
  }
  // Keep the crossings of pixel-column centres.
  const double wmax = static_cast<double>(static_cast<uint64_t>(w) - 1);
  std::vector<uint32_t> a;
  for (size_t j = 1; j < u.size(); ++j) {
    const int64_t up = u[j - 1], uc = u[j];
    if (uc == up) continue;
    const int64_t xprime = uc > up ? uc - 1 : uc;
    const double xd = (static_cast<double>(xprime) + 0.5) / 5.0 - 0.5;
    if (xd < 0 || std::floor(xd) != xd || xd > wmax) continue;
    double yd = (static_cast<double>(std::min(v[j - 1], v[j])) + 0.5) / 5.0 - 0.5;
    if (yd < 0) {
      yd = 0;
    } else if (yd > h) {
      yd = h;
    }
    yd = std::ceil(yd);
    const uint32_t x = static_cast<uint32_t>(static_cast<int32_t>(xd));
    const uint32_t y = static_cast<uint32_t>(static_cast<int32_t>(yd));
    a.push_back(x * h + y);
  }
  // Runs: sort, difference, compact.
  a.push_back(h * w);
  std::sort(a.begin(), a.end());
  for (size_t i = a.size() - 1; i > 0; --i) a[i] = a[i] - a[i - 1];
  Rle r{h, w, {a[0]}};
  size_t i = 1;
  while (i < a.size()) {
    if (a[i] != 0) {
      r.counts.push_back(a[i]);
      i = i + 1;
    } else {
      i = i + 1;
      if (i < a.size()) {
        r.counts.back() += a[i];
        i = i + 1;
      }
    }
  }
  return r;
}

// ------------------------------------------------------------------ boundary

static int64_t erosion_passes(uint32_t h, uint32_t w, double ratio) {
  const uint64_t diag2 = uint64_t{h} * h + uint64_t{w} * w;
  const double d = std::round(ratio * std::sqrt(static_cast<double>(diag2)));
  int64_t n;
  if (std::isnan(d)) {
    n = 0;
  } else if (d >= 9223372036854775808.0) {
    n = std::numeric_limits<int64_t>::max();
  } else if (d < -9223372036854775808.0) {
    n = std::numeric_limits<int64_t>::min();
  } else {
    n = static_cast<int64_t>(d);
  }
  return n >= 2 ? n : 1;
}

Rle boundary(const Rle& mask, double ratio) {
  const uint32_t h = mask.height, w = mask.width;
  if (h == 0 || w == 0) return mask;
  const int64_t passes = erosion_passes(h, w, ratio);
  const size_t n = size_t{h} * w;
  const std::vector<uint8_t> dense = to_dense(mask.counts, n);
  const size_t H = size_t{h} + 2, W = size_t{w} + 2;
  std::vector<uint8_t> src(H * W, 0), dst(H * W, 0);
  for (size_t x = 0; x < w; ++x) {
    for (size_t y = 0; y < h; ++y) src[(x + 1) * H + (y + 1)] = dense[x * h + y];
  }
  for (int64_t p = 0; p < passes; ++p) {
    bool any = false;
    for (size_t x = 1; x <= w; ++x) {
      for (size_t y = 1; y <= h; ++y) {
        bool all = true;
        for (int dx = -1; dx <= 1; ++dx) {
          for (int dy = -1; dy <= 1; ++dy) {
            if (src[(x + dx) * H + (y + dy)] == 0) all = false;
          }
        }
        dst[x * H + y] = all ? 1 : 0;
        any = any || all;
      }
    }
    std::fill(src.begin(), src.end(), 0);
    std::swap(src, dst);
    // Once nothing is left, further passes change nothing.
    if (!any) break;
  }
  std::vector<uint8_t> band(n);
  for (size_t x = 0; x < w; ++x) {
    for (size_t y = 0; y < h; ++y) {
      const uint8_t m = dense[x * h + y], e = src[(x + 1) * H + (y + 1)];
      band[x * h + y] = m > e ? static_cast<uint8_t>(m - e) : 0;
    }
  }
  return Rle{h, w, from_dense(band)};
}

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

}  // namespace fuzz
