#include "core/eval/keypoints.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "core/base/error.h"

namespace quillscore::eval {
namespace {

// With use_area off, a ground truth's scale is its box's area times this: the
// share of its box that a person's outline covers on average (in the COCO
// 2017 samples of the tests, mask area over box area averages 0.54 to 0.55
// for persons). It stands in for the mask area on datasets that annotate
// keypoints and boxes but no masks.
constexpr double kOutlineShareOfBox = 0.53;

// max that lets a NaN through, as an array maximum does.
double max_nan(double a, double b) { return std::isnan(a) || std::isnan(b) ? NAN : std::max(a, b); }

// Sum in the order of NumPy's pairwise summation, so that averages of the
// same terms come out bit for bit as the reference tools compute them.
double pairwise_sum(const double* a, size_t n) {
  if (n < 8) {
    double res = 0.;
    for (size_t i = 0; i < n; ++i) res += a[i];
    return res;
  }
  if (n <= 128) {
    double r[8];
    for (size_t j = 0; j < 8; ++j) r[j] = a[j];
    size_t i = 8;
    for (; i < n - n % 8; i += 8) {
      for (size_t j = 0; j < 8; ++j) r[j] += a[i + j];
    }
    double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
    for (; i < n; ++i) res += a[i];
    return res;
  }
  size_t n2 = n / 2;
  n2 -= n2 % 8;
  return pairwise_sum(a, n2) + pairwise_sum(a + n2, n - n2);
}

}  // namespace

double keypoint_box_area(const Box& box) { return box[2] * box[3] * kOutlineShareOfBox; }

void oks_matrix(const EngineState& st, const Keypoints& dt, const Keypoints& gt,
                std::span<const uint32_t> ranked, std::span<const uint32_t> gts,
                std::span<double> out) {
  const size_t k = dt.count;
  const auto& sigmas = st.params.kpt_sigmas;
  if (sigmas.size() < k) throw InternalError("fewer keypoint sigmas than keypoints");
  std::vector<double> vars(k);
  for (size_t i = 0; i < k; ++i) vars[i] = (2 * sigmas[i]) * (2 * sigmas[i]);

  const AnnotationSet& gset = st.gt;
  std::vector<double> terms(k);
  const size_t g_n = gts.size();
  for (size_t j = 0; j < g_n; ++j) {
    const uint32_t g = gts[j];
    if ((size_t{g} + 1) * 3 * k > gt.values.size() || g >= gset.boxes.size() ||
        g >= gset.areas.size()) {
      throw InternalError("ground-truth keypoints out of bounds");
    }
    const double* gk = gt.values.data() + size_t{g} * 3 * k;
    const Box& box = gset.boxes[g];
    size_t visible = 0;
    for (size_t i = 0; i < k; ++i) visible += gk[3 * i + 2] > 0;
    const double scale = (st.params.use_area ? gset.areas[g] : keypoint_box_area(box)) + kSpacingOfOne;
    // Without visible points, distances are measured from a box three times
    // the ground truth's size around it.
    const double x0 = box[0] - box[2], x1 = box[0] + box[2] * 2;
    const double y0 = box[1] - box[3], y1 = box[1] + box[3] * 2;
    for (size_t r = 0; r < ranked.size(); ++r) {
      const uint32_t d = ranked[r];
      if ((size_t{d} + 1) * 3 * k > dt.values.size()) {
        throw InternalError("detection keypoints out of bounds");
      }
      const double* dk = dt.values.data() + size_t{d} * 3 * k;
      size_t n = 0;
      for (size_t i = 0; i < k; ++i) {
        const double xd = dk[3 * i], yd = dk[3 * i + 1];
        double dx, dy;
        if (visible > 0) {
          if (!(gk[3 * i + 2] > 0)) continue;
          dx = xd - gk[3 * i];
          dy = yd - gk[3 * i + 1];
        } else {
          dx = max_nan(0.0, x0 - xd) + max_nan(0.0, xd - x1);
          dy = max_nan(0.0, y0 - yd) + max_nan(0.0, yd - y1);
        }
        terms[n++] = std::exp(-((dx * dx + dy * dy) / vars[i] / scale / 2));
      }
      // With no keypoints at all this is 0/0: NaN, as the mean of nothing.
      out[r * g_n + j] = pairwise_sum(terms.data(), n) / static_cast<double>(n);
    }
  }
}

}  // namespace quillscore::eval
