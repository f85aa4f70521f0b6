// The reference implementations declared in rle.h.
#include "tests/reference/rle.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace quillscore::rle::testref {

// ------------------------------------------------------------------- pixels

void naive_decode_into(std::span<const uint32_t> counts, std::span<uint8_t> out) {
  size_t pos = 0;
  for (size_t i = 0; i < counts.size(); ++i) {
    const uint8_t colour = i % 2;
    for (uint64_t k = 0; k < counts[i] && pos < out.size(); ++k) out[pos++] = colour;
  }
}

Pixels naive_dense(std::span<const uint32_t> counts, size_t n) {
  Pixels px(n, 0);
  naive_decode_into(counts, px);
  return px;
}

Pixels naive_decode(const Rle& m) { return naive_dense(m.counts, size_t{m.height} * m.width); }

std::vector<uint32_t> naive_runs(std::span<const uint8_t> px) {
  std::vector<uint32_t> counts;
  uint8_t current = 0;
  uint32_t run = 0;
  for (uint8_t p : px) {
    if (p != current) {
      counts.push_back(run);
      run = 0;
      current = p;
    }
    ++run;
  }
  counts.push_back(run);
  return counts;
}

Rle naive_encode(std::span<const uint8_t> px, uint32_t h, uint32_t w) {
  return Rle{h, w, naive_runs(px)};
}

Box naive_bbox(const Pixels& px, uint32_t h, uint32_t w) {
  int64_t x0 = -1, x1 = -1, y0 = -1, y1 = -1;
  for (uint32_t x = 0; x < w; ++x) {
    for (uint32_t y = 0; y < h; ++y) {
      if (!px[size_t{x} * h + y]) continue;
      if (x0 < 0 || x < x0) x0 = x;
      if (x1 < 0 || x > x1) x1 = x;
      if (y0 < 0 || y < y0) y0 = y;
      if (y1 < 0 || y > y1) y1 = y;
    }
  }
  if (x0 < 0) return {0, 0, 0, 0};
  return {double(x0), double(y0), double(x1 - x0 + 1), double(y1 - y0 + 1)};
}

Rle naive_merge(const std::vector<Rle>& masks, bool intersect) {
  const uint32_t h = masks[0].height, w = masks[0].width;
  Pixels acc = naive_decode(masks[0]);
  for (size_t i = 1; i < masks.size(); ++i) {
    const Pixels px = naive_decode(masks[i]);
    for (size_t p = 0; p < acc.size(); ++p) {
      acc[p] = intersect ? (acc[p] && px[p]) : (acc[p] || px[p]);
    }
  }
  return naive_encode(acc, h, w);
}

double naive_mask_iou(const Pixels& dt, const Pixels& gt, bool crowd) {
  uint64_t inter = 0, uni = 0, dt_area = 0;
  for (size_t p = 0; p < dt.size(); ++p) {
    inter += dt[p] && gt[p];
    uni += dt[p] || gt[p];
    dt_area += dt[p] != 0;
  }
  if (inter == 0) return 0;
  return double(inter) / double(crowd ? dt_area : uni);
}

// --------------------------------------------------------------------- runs

std::vector<uint32_t> literal_decode_counts(std::string_view s) {
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
      if (!(c & 0x20) || p == s.size()) break;
    }
    const size_t i = out.size();
    if (i >= 3) x = static_cast<int64_t>(static_cast<uint64_t>(x) + out[i - 2]);
    out.push_back(static_cast<uint32_t>(static_cast<uint64_t>(x)));
  }
  return out;
}

std::string literal_encode_counts(const std::vector<uint32_t>& counts) {
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

uint64_t counts_sum(const std::vector<uint32_t>& c) {
  uint64_t s = 0;
  for (uint32_t v : c) s += v;
  return s;
}

bool canonical(const Rle& r) {
  if (r.counts.empty()) return false;
  for (size_t i = 1; i < r.counts.size(); ++i) {
    if (r.counts[i] == 0) return false;
  }
  return counts_sum(r.counts) == uint64_t{r.height} * r.width;
}

uint32_t walk_area(const Rle& r) {
  uint32_t a = 0;
  for (size_t j = 1; j < r.counts.size(); j += 2) a += r.counts[j];
  return a;
}

Box walk_bbox(const Rle& r) {
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

namespace {

// min and max that return the other operand when one is NaN.
double nmin(double a, double b) {
  if (std::isnan(a)) return b;
  if (std::isnan(b)) return a;
  return a < b ? a : b;
}
double nmax(double a, double b) {
  if (std::isnan(a)) return b;
  if (std::isnan(b)) return a;
  return a > b ? a : b;
}

}  // namespace

bool is_crowd(const std::vector<uint8_t>& crowd, size_t g) {
  return g < crowd.size() && crowd[g] != 0;
}

void literal_box_iou(const std::vector<Box>& dt, const std::vector<Box>& gt,
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

namespace {

// Counts whose walk is defined by the pixel rule without ambiguity: sums that
// agree and stay far from 32-bit wrap-around.
bool walkable(const std::vector<uint32_t>& a, const std::vector<uint32_t>& b) {
  const uint64_t sa = counts_sum(a), sb = counts_sum(b);
  return sa == sb && sa < (uint64_t{1} << 31);
}

// The side-by-side walk of one fold step, exactly as the pixel rule states it.
std::vector<uint32_t> merge_walk(const std::vector<uint32_t>& A, const std::vector<uint32_t>& B,
                                 bool intersect) {
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

}  // namespace

std::optional<Rle> walk_merge(const std::vector<Rle>& masks, bool intersect) {
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

void walk_iou(const std::vector<Rle>& dt, const std::vector<Rle>& gt,
              const std::vector<uint8_t>& crowd, double theta, std::vector<double>& out,
              std::vector<uint8_t>& defined) {
  const size_t m = dt.size(), n = gt.size();
  defined.assign(m * n, 1);
  if (m == 0 || n == 0) return;
  std::vector<Box> db(m), gb(n);
  for (size_t d = 0; d < m; ++d) db[d] = walk_bbox(dt[d]);
  for (size_t g = 0; g < n; ++g) gb[g] = walk_bbox(gt[g]);
  literal_box_iou(db, gb, crowd, out);
  const bool prune = theta > 0;
  std::vector<double> ad(m), ag(n);
  if (prune) {
    for (size_t d = 0; d < m; ++d) ad[d] = walk_area(dt[d]);
    for (size_t g = 0; g < n; ++g) ag[g] = walk_area(gt[g]);
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
        out[e] = static_cast<double>(i) / static_cast<double>(walk_area(D));
      } else {
        out[e] = static_cast<double>(i) / static_cast<double>(u);
      }
    }
  }
}

// ------------------------------------------------ polygons, boundary bands

int32_t quantise(double v) {
  const double s = v + 0.5;
  if (std::isnan(s) || !(s > -2147483649.0 && s < 2147483648.0)) {
    return std::numeric_limits<int32_t>::min();
  }
  return static_cast<int32_t>(std::trunc(s));
}

uint64_t outline_points(std::span<const double> coords) {
  const size_t k = coords.size() / 2;
  uint64_t total = 0;
  for (size_t j = 0; j < k; ++j) {
    const size_t n = (j + 1) % k;
    const int64_t dx = std::llabs(int64_t{quantise(5 * coords[2 * n])} -
                                  quantise(5 * coords[2 * j]));
    const int64_t dy = std::llabs(int64_t{quantise(5 * coords[2 * j + 1])} -
                                  quantise(5 * coords[2 * n + 1]));
    total += static_cast<uint64_t>(std::max(dx, dy)) + 1;
  }
  return total;
}

Rle literal_polygon(std::span<const double> coords, uint32_t h, uint32_t w) {
  const size_t k = coords.size() / 2;
  if (k == 0) return Rle{h, w, {h * w}};

  // Upsample by 5 onto the fine grid and close the ring.
  std::vector<int32_t> X(k + 1), Y(k + 1);
  for (size_t j = 0; j < k; ++j) {
    X[j] = quantise(5.0 * coords[2 * j]);
    Y[j] = quantise(5.0 * coords[2 * j + 1]);
  }
  X[k] = X[0];
  Y[k] = Y[0];

  // Every point of every edge, both endpoints included, in outline order.
  std::vector<int32_t> u, v;
  for (size_t j = 0; j < k; ++j) {
    const int64_t dx = std::llabs(int64_t{X[j + 1]} - X[j]);
    const int64_t dy = std::llabs(int64_t{Y[j]} - Y[j + 1]);
    if (dx >= dy) {
      const bool flipped = X[j + 1] < X[j];
      const int64_t xs = flipped ? X[j + 1] : X[j], ys = flipped ? Y[j + 1] : Y[j];
      const int64_t ye = flipped ? Y[j] : Y[j + 1];
      const double s = double(ye - ys) / double(dx);
      for (int64_t d = 0; d <= dx; ++d) {
        const int64_t t = flipped ? dx - d : d;
        u.push_back(static_cast<int32_t>(xs + t));
        v.push_back(quantise(double(t) * s + double(ys)));
      }
    } else {
      const bool flipped = Y[j] > Y[j + 1];
      const int64_t xs = flipped ? X[j + 1] : X[j], ys = flipped ? Y[j + 1] : Y[j];
      const int64_t xe = flipped ? X[j] : X[j + 1];
      const double s = double(xe - xs) / double(dy);
      for (int64_t d = 0; d <= dy; ++d) {
        const int64_t t = flipped ? dy - d : d;
        v.push_back(static_cast<int32_t>(ys + t));
        u.push_back(quantise(double(t) * s + double(xs)));
      }
    }
  }

  // Crossings of pixel-column centres by consecutive points.
  std::vector<uint32_t> a;
  const double last_column = double(uint64_t{w} - 1);
  for (size_t c = 1; c < u.size(); ++c) {
    const size_t p = c - 1;
    if (u[c] == u[p]) continue;
    const int64_t xprime = u[c] > u[p] ? int64_t{u[c]} - 1 : int64_t{u[c]};
    const double xd = (double(xprime) + 0.5) / 5.0 - 0.5;
    if (xd < 0 || std::floor(xd) != xd || xd > last_column) continue;
    double yd = (double(std::min(v[p], v[c])) + 0.5) / 5.0 - 0.5;
    if (yd < 0) {
      yd = 0;
    } else if (yd > h) {
      yd = h;
    }
    yd = std::ceil(yd);
    const uint32_t x = static_cast<uint32_t>(xd), y = static_cast<uint32_t>(yd);
    a.push_back(x * h + y);
  }

  // Crossings to run lengths.
  a.push_back(h * w);
  std::sort(a.begin(), a.end());
  std::vector<uint32_t> diff(a.size());
  diff[0] = a[0];
  for (size_t i = 1; i < a.size(); ++i) diff[i] = a[i] - a[i - 1];

  // Zero-length runs join their neighbours.
  std::vector<uint32_t> counts{diff[0]};
  size_t i = 1;
  while (i < diff.size()) {
    if (diff[i] != 0) {
      counts.push_back(diff[i]);
      i = i + 1;
    } else {
      i = i + 1;
      if (i < diff.size()) {
        counts.back() += diff[i];
        i = i + 1;
      }
    }
  }
  return Rle{h, w, counts};
}

int64_t erosion_passes(uint32_t h, uint32_t w, double ratio) {
  const uint64_t diag2 = uint64_t{h} * h + uint64_t{w} * w;
  const double d = std::round(ratio * std::sqrt(double(diag2)));
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

Rle literal_boundary(const Rle& mask, double ratio) {
  const uint32_t h = mask.height, w = mask.width;
  if (h == 0 || w == 0) return mask;
  const int64_t passes = erosion_passes(h, w, ratio);
  const Pixels dense = naive_decode(mask);

  const size_t stride = size_t{h} + 2;
  Pixels src(stride * (size_t{w} + 2), 0), dst(src.size(), 0);
  for (uint32_t x = 0; x < w; ++x) {
    for (uint32_t y = 0; y < h; ++y) src[(x + 1) * stride + y + 1] = dense[size_t{x} * h + y];
  }
  for (int64_t pass = 0; pass < passes; ++pass) {
    for (size_t x = 1; x <= w; ++x) {
      for (size_t y = 1; y <= h; ++y) {
        bool all = true;
        for (int dxo = -1; dxo <= 1; ++dxo) {
          for (int dyo = -1; dyo <= 1; ++dyo) all = all && src[(x + dxo) * stride + y + dyo] != 0;
        }
        dst[x * stride + y] = all;
      }
    }
    std::fill(src.begin(), src.end(), 0);
    std::swap(src, dst);
    // Once nothing survives, further passes cannot change anything; this only
    // keeps absurd pass counts affordable.
    if (std::all_of(src.begin(), src.end(), [](uint8_t b) { return b == 0; })) break;
  }

  Pixels band(dense.size(), 0);
  for (uint32_t x = 0; x < w; ++x) {
    for (uint32_t y = 0; y < h; ++y) {
      const uint8_t m = dense[size_t{x} * h + y], e = src[(x + 1) * stride + y + 1];
      band[size_t{x} * h + y] = m > e ? m - e : 0;
    }
  }
  return naive_encode(band, h, w);
}

}  // namespace quillscore::rle::testref
