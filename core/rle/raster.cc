#include "core/rle/raster.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/base/error.h"
#include "core/rle/codec.h"
#include "core/rle/ops.h"

namespace quillscore::rle {
namespace {

// Polygons are drawn on a grid five times finer than the image.
constexpr double kScale = 5.0;
constexpr int32_t kBadCoordinate = std::numeric_limits<int32_t>::min();
// More crossings than this cannot come from a real polygon; refusing them
// keeps absurd coordinates from exhausting memory.
constexpr size_t kMaxCrossings = size_t{1} << 24;

// Round half up by truncating v + 0.5 toward zero, as a C cast would; values
// that do not fit (and NaN) become INT32_MIN, as the x86 conversion yields.
int32_t quantise(double v) {
  const double s = v + 0.5;
  if (!(s > -2147483649.0 && s < 2147483648.0)) return kBadCoordinate;
  return static_cast<int32_t>(s);
}

// Collects the outline's crossings of pixel-column centres as pixel indexes.
class CrossingSink {
 public:
  CrossingSink(uint32_t h, uint32_t w, std::vector<uint32_t>& cols, std::vector<uint32_t>& rows)
      : h_(h),
        cols_(cols),
        rows_(rows),
        wmax_(static_cast<double>(static_cast<uint64_t>(w) - 1)),
        // Largest fine-grid column that can pass the centre test; with w = 0
        // the unsigned w - 1 bounds nothing.
        xmax_(w == 0 ? std::numeric_limits<int32_t>::max()
                     : std::min<int64_t>(std::numeric_limits<int32_t>::max(),
                                         5 * (int64_t{w} - 1) + 2)) {}

  int64_t xmax() const { return xmax_; }

  // A consecutive pair of outline points p -> c.
  void pair(int32_t up, int32_t vp, int32_t uc, int32_t vc) {
    if (uc == up) return;
    keep(uc > up ? int64_t{uc} - 1 : int64_t{uc}, std::min(vp, vc));
  }

  // The crossing at fine column x' whose lower row (on the fine grid) is vmin.
  // Only columns x' = 5x + 2, the centre of pixel column x, are kept.
  void keep(int64_t xprime, int32_t vmin) {
    const double xd = (static_cast<double>(xprime) + 0.5) / kScale - 0.5;
    if (xd < 0 || std::floor(xd) != xd || xd > wmax_) return;
    push(static_cast<uint32_t>(xd), vmin);
  }

  // keep() for a column already known to be the centre of pixel column x.
  void push(uint32_t x, int32_t vmin) {
    // The row is ceil((vmin + 0.5) / 5 - 0.5) clamped to [0, h]. For 32-bit
    // vmin that quotient is exactly (vmin - 2) / 5 whenever it is whole and
    // at least 0.2 away from a whole number otherwise, so integer arithmetic
    // gives the same row.
    const int64_t num = int64_t{vmin} - 2;
    int64_t y = num >= 0 ? (num + 4) / 5 : -((-num) / 5);
    y = std::clamp<int64_t>(y, 0, h_);
    if (cols_.size() >= kMaxCrossings) throw InputError("polygon too large to rasterise");
    cols_.push_back(x);
    rows_.push_back(static_cast<uint32_t>(y));
  }

 private:
  uint32_t h_;
  std::vector<uint32_t>& cols_;
  std::vector<uint32_t>& rows_;
  double wmax_;
  int64_t xmax_;
};

// Smallest t in [lo, hi] with pred(t), given that pred(hi) holds and pred is
// monotone. `guess` is usually within a step of the answer: look around it
// first and bisect only when it is off.
template <class Pred>
int64_t first_true(int64_t lo, int64_t hi, double guess, Pred pred) {
  int64_t t = hi;
  if (guess >= static_cast<double>(lo) && guess <= static_cast<double>(hi)) {
    t = static_cast<int64_t>(guess);
  }
  for (int step = 0; step < 4; ++step) {
    if (pred(t)) {
      if (t == lo || !pred(t - 1)) return t;
      --t;
    } else {
      ++t;  // t < hi, since pred(hi) holds
    }
  }
  // The guess was far off: bisect the whole range.
  int64_t a = lo, b = hi;
  while (a < b) {
    const int64_t mid = a + (b - a) / 2;
    if (pred(mid)) {
      b = mid;
    } else {
      a = mid + 1;
    }
  }
  return a;
}

// A mostly horizontal edge: the column advances by one at every point, so
// every pair crosses a fine column; only those at pixel-column centres count.
void walk_horizontal(int32_t xs, int32_t ys, int32_t ye, int64_t len, CrossingSink& sink) {
  const double s = static_cast<double>(int64_t{ye} - ys) / static_cast<double>(len);
  auto v = [&](int64_t t) { return quantise(static_cast<double>(t) * s + ys); };
  // Pair {t, t+1} sits at fine column xs + t whichever way the edge runs.
  int64_t t = std::max<int64_t>(0, 2 - int64_t{xs});
  t += ((2 - (int64_t{xs} + t)) % 5 + 5) % 5;
  const int64_t last = std::min(len - 1, sink.xmax() - xs);
  for (; t <= last; t += 5) {
    sink.push(static_cast<uint32_t>((xs + t - 2) / 5), std::min(v(t), v(t + 1)));
  }
}

// A mostly vertical edge from its start point (t = 0) to its end (t = len);
// `flipped` says the outline runs from t = len down to t = 0. The column
// changes by at most one per point and only changes at pixel-column centres
// count, so instead of walking every point, find for each centre column the
// one pair of points that steps across it.
void walk_vertical(int32_t xs, int32_t xe, int32_t ys, int64_t len, bool flipped,
                   CrossingSink& sink) {
  const double s = static_cast<double>(int64_t{xe} - xs) / static_cast<double>(len);
  if (s == 0) return;
  auto u = [&](int64_t t) { return quantise(static_cast<double>(t) * s + xs); };
  auto row = [&](int64_t t) { return static_cast<int32_t>(ys + t); };
  const bool rising = s > 0;
  const int64_t u0 = u(0), u1 = u(len);
  // A pair stepping between columns a < b sits at fine column b - 1 or a,
  // both within [lowest column, highest column - 1] of the edge.
  const int64_t lo = std::max<int64_t>(std::min(u0, u1), 2);
  const int64_t hi = std::min<int64_t>(std::max(u0, u1) - 1, sink.xmax());
  int64_t last = -1;
  for (int64_t xp = lo + ((2 - lo) % 5 + 5) % 5; xp <= hi; xp += 5) {
    // The first point past column xp, searched near the straight-line answer.
    const double guess = (static_cast<double>(xp) + 0.5 - xs) / s;
    const int64_t t = rising ? first_true(1, len, std::ceil(guess),
                                          [&](int64_t x) { return u(x) > xp; })
                             : first_true(1, len, std::floor(guess) + 1,
                                          [&](int64_t x) { return u(x) <= xp; });
    if (t == last) continue;
    last = t;
    const int32_t a = u(t - 1), b = u(t);
    if (flipped) {
      sink.pair(b, row(t), a, row(t - 1));
    } else {
      sink.pair(a, row(t - 1), b, row(t));
    }
  }
}

// Sorts the pixel indexes x*h + y of the crossings into ws.crossings and
// appends h*w. A polygon crosses each column only a few times, so a counting
// sort by column followed by an insertion sort of the rows is linear; it
// applies when no index wraps past 2^32, which is when the order of x*h + y
// is the order of (x, y).
void sort_crossings(RasterWorkspace& ws, uint32_t h, uint32_t w) {
  const std::vector<uint32_t>& cols = ws.cols;
  const std::vector<uint32_t>& rows = ws.rows;
  std::vector<uint32_t>& a = ws.crossings;
  const size_t k = cols.size();
  a.resize(k);
  const uint32_t hw = h * w;
  if (k < 16 || w == 0 || uint64_t{h} * w > UINT32_MAX) {
    for (size_t i = 0; i < k; ++i) a[i] = cols[i] * h + rows[i];
    a.push_back(hw);
    std::sort(a.begin(), a.end());
    return;
  }
  const auto [lo, hi] = std::minmax_element(cols.begin(), cols.end());
  const uint32_t first = *lo;
  std::vector<uint32_t>& start = ws.buckets;
  start.assign(size_t{*hi} - first + 2, 0);
  for (uint32_t x : cols) ++start[x - first + 1];
  for (size_t i = 1; i < start.size(); ++i) start[i] += start[i - 1];
  for (size_t i = 0; i < k; ++i) a[start[cols[i] - first]++] = cols[i] * h + rows[i];
  for (size_t i = 1; i < k; ++i) {
    const uint32_t v = a[i];
    size_t j = i;
    for (; j > 0 && a[j - 1] > v; --j) a[j] = a[j - 1];
    a[j] = v;
  }
  a.push_back(hw);
}

}  // namespace

Rle rle_from_polygon(std::span<const double> coords, uint32_t h, uint32_t w,
                     RasterWorkspace& ws) {
  const size_t k = coords.size() / 2;
  if (k == 0) return Rle{h, w, {h * w}};

  auto& qx = ws.qx;
  auto& qy = ws.qy;
  qx.resize(k + 1);
  qy.resize(k + 1);
  for (size_t j = 0; j < k; ++j) {
    qx[j] = quantise(kScale * coords[2 * j]);
    qy[j] = quantise(kScale * coords[2 * j + 1]);
  }
  qx[k] = qx[0];
  qy[k] = qy[0];

  ws.cols.clear();
  ws.rows.clear();
  CrossingSink sink(h, w, ws.cols, ws.rows);
  // Consecutive edges share their vertex; the pair across it is still a pair
  // of the outline, so remember the previous edge's last point.
  bool have_prev = false;
  int32_t pu = 0, pv = 0;
  for (size_t j = 0; j < k; ++j) {
    const int32_t x0 = qx[j], y0 = qy[j], x1 = qx[j + 1], y1 = qy[j + 1];
    const int64_t dx = std::abs(int64_t{x1} - x0), dy = std::abs(int64_t{y0} - y1);
    int32_t fu, fv, lu, lv;  // first and last point of the edge as walked
    if (dx >= dy) {
      const bool flipped = x1 < x0;
      const int32_t xs = flipped ? x1 : x0, ys = flipped ? y1 : y0;
      const int32_t ye = flipped ? y0 : y1;
      // A zero-length edge divides 0 by 0: its single point's row is the bad
      // coordinate, which never matters since its column equals its neighbours'.
      const double s = static_cast<double>(int64_t{ye} - ys) / static_cast<double>(dx);
      auto point = [&](int64_t t, int32_t& u, int32_t& v) {
        u = static_cast<int32_t>(xs + t);
        v = quantise(static_cast<double>(t) * s + ys);
      };
      point(flipped ? dx : 0, fu, fv);
      point(flipped ? 0 : dx, lu, lv);
      if (dx > 0) walk_horizontal(xs, ys, ye, dx, sink);
    } else {
      const bool flipped = y0 > y1;
      const int32_t xs = flipped ? x1 : x0, ys = flipped ? y1 : y0;
      const int32_t xe = flipped ? x0 : x1;
      const double s = static_cast<double>(int64_t{xe} - xs) / static_cast<double>(dy);
      auto point = [&](int64_t t, int32_t& u, int32_t& v) {
        v = static_cast<int32_t>(ys + t);
        u = quantise(static_cast<double>(t) * s + xs);
      };
      point(flipped ? dy : 0, fu, fv);
      point(flipped ? 0 : dy, lu, lv);
      walk_vertical(xs, xe, ys, dy, flipped, sink);
    }
    if (have_prev) sink.pair(pu, pv, fu, fv);
    have_prev = true;
    pu = lu;
    pv = lv;
  }

  // Crossings become run boundaries: sort the pixel indexes, close with h*w
  // and turn them into run lengths.
  std::vector<uint32_t>& a = ws.crossings;
  sort_crossings(ws, h, w);
  for (size_t i = a.size() - 1; i > 0; --i) a[i] -= a[i - 1];

  // Two crossings at the same pixel cancel: a zero run joins its neighbours.
  Rle r{h, w, {}};
  r.counts.reserve(a.size());
  r.counts.push_back(a[0]);
  for (size_t i = 1; i < a.size();) {
    if (a[i] != 0) {
      r.counts.push_back(a[i++]);
    } else if (++i < a.size()) {
      r.counts.back() += a[i++];
    }
  }
  r.counts.shrink_to_fit();
  return r;
}

Rle rle_from_box(const Box& box, uint32_t h, uint32_t w) {
  const double x = box[0], y = box[1], xe = box[0] + box[2], ye = box[1] + box[3];
  // Corners top-left, bottom-left, bottom-right, top-right.
  const double poly[8] = {x, y, x, ye, xe, ye, xe, y};
  RasterWorkspace ws;
  return rle_from_polygon(poly, h, w, ws);
}

Rle rasterise_segmentation(const Segmentation& seg, uint32_t h, uint32_t w, RasterWorkspace& ws) {
  struct Visitor {
    uint32_t h, w;
    RasterWorkspace& ws;
    Rle operator()(const Polygons& p) const {
      if (p.ends.empty()) return {};
      if (p.ends.size() == 1) return rle_from_polygon(p.coords, h, w, ws);
      std::vector<Rle> masks = std::move(ws.masks);
      masks.clear();
      uint32_t begin = 0;
      for (uint32_t end : p.ends) {
        if (end < begin || end > p.coords.size()) {
          throw InternalError("polygon end offsets out of order or beyond the coordinates");
        }
        masks.push_back(
            rle_from_polygon(std::span(p.coords).subspan(begin, end - begin), h, w, ws));
        begin = end;
      }
      Rle r = rle_merge(masks, false);
      masks.clear();
      ws.masks = std::move(masks);
      return r;
    }
    Rle operator()(const Counts& c) const { return Rle{h, w, c.counts}; }
    Rle operator()(const CompressedCounts& c) const { return counts_from_string(c.bytes, h, w); }
    Rle operator()(const Box& b) const { return rle_from_box(b, h, w); }
  };
  return std::visit(Visitor{h, w, ws}, seg);
}

}  // namespace quillscore::rle
