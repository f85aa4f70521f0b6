#include "core/rle/iou.h"

#include <algorithm>
#include <tuple>
#include <cmath>
#include <optional>
#include <vector>

#include "core/base/error.h"
#include "core/pool/cancel.h"
#include "core/rle/ops.h"
#include "core/rle/run_cursor_internal.h"

namespace quillscore::rle {
namespace {

// min and max that return the other operand when one is NaN.
double fmin_nan(double a, double b) { return std::fmin(a, b); }
double fmax_nan(double a, double b) { return std::fmax(a, b); }

bool is_crowd(std::span<const uint8_t> crowd, size_t g) { return g < crowd.size() && crowd[g]; }

// The set pixels of one mask as sorted half-open intervals of pixel indexes.
// Built once per mask so that each pair costs one merge of two interval lists,
// started at the first interval that can overlap the other mask.
struct Intervals {
  size_t begin = 0, end = 0;  // range in the shared interval buffer
  uint64_t area = 0;
  // An empty run after the first can end the reference walk early when the
  // other mask has one at the same pixel, which the interval merge would not
  // see; such masks are walked instead.
  bool empty_runs = false;
};

void collect_intervals(const Rle& m, std::vector<uint64_t>& buf, Intervals& out) {
  out.begin = buf.size() / 2;
  uint64_t pos = 0;
  const auto& c = m.counts;
  for (size_t j = 0; j < c.size(); ++j) {
    const uint64_t next = pos + c[j];
    if (j > 0 && c[j] == 0) out.empty_runs = true;
    if ((j & 1) && c[j] != 0) {
      buf.push_back(pos);
      buf.push_back(next);
      out.area += c[j];
    }
    pos = next;
  }
  out.end = buf.size() / 2;
}

// First interval in [p, e) whose end lies after `pixel`.
const uint64_t* skip_before(const uint64_t* p, const uint64_t* e, uint64_t pixel) {
  size_t lo = 0, hi = static_cast<size_t>(e - p) / 2;
  while (lo < hi) {
    const size_t mid = (lo + hi) / 2;
    if (p[2 * mid + 1] <= pixel) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return p + 2 * lo;
}

// Pixels set in both masks. Masks whose counts end early count as unset from
// there on, which is the walk's natural result for consistent masks.
uint64_t intersection(const uint64_t* iv, const Intervals& a, const Intervals& b) {
  const size_t p = a.begin, q = b.begin;
  if (p == a.end || q == b.end) return 0;
  const uint64_t* pa = iv + 2 * p;
  const uint64_t* pb = iv + 2 * q;
  const uint64_t* ea = iv + 2 * a.end;
  const uint64_t* eb = iv + 2 * b.end;
  // Skip, by bisection, the intervals that end before the other mask's first
  // pixel: objects rarely share more than a few columns.
  pa = skip_before(pa, ea, pb[0]);
  pb = skip_before(pb, eb, pa == ea ? 0 : pa[0]);
  uint64_t total = 0;
  while (pa != ea && pb != eb) {
    const uint64_t lo = std::max(pa[0], pb[0]);
    const uint64_t hi = std::min(pa[1], pb[1]);
    if (hi > lo) total += hi - lo;
    if (pa[1] < pb[1]) {
      pa += 2;
    } else {
      pb += 2;
    }
  }
  return total;
}

// Intersection and union by walking both run lists side by side, exactly as
// the reference defines it (including its stop where both lists reach an
// empty run together).
std::pair<uint32_t, uint32_t> walk(std::span<const uint32_t> a_counts,
                                   std::span<const uint32_t> b_counts) {
  detail::RunCursor a(a_counts), b(b_counts);
  uint32_t i = 0, u = 0;
  for (;;) {
    const uint32_t c = detail::next_step(a, b);
    if (a.on || b.on) u += c;
    if (a.on && b.on) i += c;
    a.take(c);
    b.take(c);
    if (uint64_t{a.left} + b.left == 0) break;
  }
  return {i, u};
}

}  // namespace

void box_iou(std::span<const Box> dt, std::span<const Box> gt, std::span<const uint8_t> crowd,
             std::span<double> out) {
  const size_t m = dt.size(), n = gt.size();
  if (m == 0 || n == 0) return;
  if (out.size() < m * n) throw InternalError("box_iou: output matrix too small");
  const pool::CancelCheck check;
  for (size_t g = 0; g < n; ++g) {
    check();
    const Box& gb = gt[g];
    const bool iscrowd = is_crowd(crowd, g);
    const double garea = gb[2] * gb[3];
    for (size_t d = 0; d < m; ++d) {
      const Box& db = dt[d];
      double& o = out[d * n + g];
      const double iw = fmin_nan(db[0] + db[2], gb[0] + gb[2]) - fmax_nan(db[0], gb[0]);
      if (iw <= 0) {
        o = 0;
        continue;
      }
      const double ih = fmin_nan(db[1] + db[3], gb[1] + gb[3]) - fmax_nan(db[1], gb[1]);
      if (ih <= 0) {
        o = 0;
        continue;
      }
      const double inter = iw * ih;
      const double darea = db[2] * db[3];
      o = iscrowd ? inter / darea : inter / ((darea + garea) - inter);
    }
  }
}

namespace {

// The caller's list where it has one entry per mask, else `of` each mask.
template <class T, class Of>
std::span<const T> per_mask(std::span<const Rle* const> masks, std::span<const T> given,
                            std::vector<T>& own, Of of) {
  if (given.size() == masks.size()) return given;
  own.resize(masks.size());
  for (size_t i = 0; i < masks.size(); ++i) own[i] = of(*masks[i]);
  return own;
}

}  // namespace

struct PairIou::Lists {
  std::vector<uint64_t> buf;
  std::vector<Intervals> dt, gt;
  std::vector<uint8_t> dt_ready, gt_ready;
  std::vector<std::optional<Rle>> dt_made;  // the masks decode_dt made
};

PairIou::PairIou(std::span<const Rle* const> dt, std::span<const Rle* const> gt,
                 std::span<const uint8_t> crowd, MaskFacts dt_facts, MaskFacts gt_facts,
                 MaskDecoder decode_dt)
    : dt_(dt), gt_(gt), decode_dt_(std::move(decode_dt)), crowd_(crowd), lists_(std::make_unique<Lists>()) {
  if (decode_dt_) {
    if (dt_facts.boxes.size() != dt.size() || dt_facts.areas.size() != dt.size()) {
      throw InternalError("PairIou: masks decoded on demand need their facts");
    }
    lists_->dt_made.resize(dt.size());
  }
  dbox_ = per_mask(dt, dt_facts.boxes, own_dbox_, rle_bbox);
  gbox_ = per_mask(gt, gt_facts.boxes, own_gbox_, rle_bbox);
  // Areas as the sum of the runs of ones, modulo 2^32 like rle_area; known
  // before any run list is built, so that a pair the bound rules out costs
  // neither mask its list.
  darea_ = per_mask(dt, dt_facts.areas, own_darea_, rle_area);
  garea_ = per_mask(gt, gt_facts.areas, own_garea_, rle_area);
  lists_->dt.resize(dt.size());
  lists_->gt.resize(gt.size());
  lists_->dt_ready.assign(dt.size(), 0);
  lists_->gt_ready.assign(gt.size(), 0);
}

PairIou::~PairIou() = default;

const Rle& PairIou::dt_mask(size_t d) {
  if (dt_[d]) return *dt_[d];
  std::optional<Rle>& made = lists_->dt_made.at(d);
  if (!made) made = decode_dt_(d);
  return *made;
}

double PairIou::operator()(size_t d, size_t g, double theta) {
  // A mask's box is whole pixels and never negative: masks overlap only where
  // their boxes share an area.
  const Box& a = dbox_[d];
  const Box& b = gbox_[g];
  const double bw = std::min(a[0] + a[2], b[0] + b[2]) - std::max(a[0], b[0]);
  const double bh = std::min(a[1] + a[3], b[1] + b[3]) - std::max(a[1], b[1]);
  if (!(bw > 0 && bh > 0)) return 0;
  const Rle& dm = dt_mask(d);
  const Rle& gm = *gt_[g];
  if (dm.height != gm.height || dm.width != gm.width) return -1;
  if (dm.counts.empty() || gm.counts.empty()) return 0;
  const bool iscrowd = is_crowd(crowd_, g);
  const uint32_t da = darea_[d], ga = garea_[g];
  if (theta > 0) {
    const double ad = da, ag = ga;
    const double i_ub = std::min(std::min(ad, ag), bw * bh);
    const double u_lb = iscrowd ? ad : (ad + ag) - i_ub;
    if (u_lb > 0 && theta > i_ub / u_lb) return 0;
  }
  Lists& l = *lists_;
  if (!l.dt_ready[d]) collect_intervals(dm, l.buf, l.dt[d]), l.dt_ready[d] = 1;
  if (!l.gt_ready[g]) collect_intervals(gm, l.buf, l.gt[g]), l.gt_ready[g] = 1;
  uint32_t i, u;
  if (l.dt[d].empty_runs || l.gt[g].empty_runs) {
    std::tie(i, u) = walk(dm.counts, gm.counts);
  } else {
    const uint64_t i64 = intersection(l.buf.data(), l.dt[d], l.gt[g]);
    i = static_cast<uint32_t>(i64);
    u = static_cast<uint32_t>(uint64_t{da} + ga - i64);
  }
  if (i == 0) return 0;
  return iscrowd ? static_cast<double>(i) / static_cast<double>(da)
                 : static_cast<double>(i) / static_cast<double>(u);
}

void rle_iou(std::span<const Rle* const> dt, std::span<const Rle* const> gt,
             std::span<const uint8_t> crowd, double theta, std::span<double> out,
             MaskFacts dt_facts, MaskFacts gt_facts, MaskDecoder decode_dt) {
  const size_t m = dt.size(), n = gt.size();
  if (m == 0 || n == 0) return;
  if (out.size() < m * n) throw InternalError("rle_iou: output matrix too small");
  PairIou iou(dt, gt, crowd, dt_facts, gt_facts, std::move(decode_dt));
  const pool::CancelCheck check;
  for (size_t g = 0; g < n; ++g) {
    check();
    for (size_t d = 0; d < m; ++d) out[d * n + g] = iou(d, g, theta);
  }
}

}  // namespace quillscore::rle
