// A deliberately plain evaluation by the COCO protocol, written the way the
// protocol is usually explained rather than the way the engine computes it:
// per category slot and image, rank and cap the detections, match them
// greedily per threshold, then per (slot, area range, max-detections) cell
// concatenate every image's first detections, sort them by score, take
// cumulative true and false positives and read interpolated precision off at
// the recall thresholds. The tests hold the engine to it bit for bit.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "core/eval/model.h"
#include "tests/core/eval/builders.h"
#include "tests/reference/rle.h"

namespace quillscore::eval::naive {

using testkit::Ann;

// Box IoU of one pair, by the shared reference: overlap over union, or over
// the detection's area when the ground truth is a crowd.
inline double box_iou(const rle::Box& d, const rle::Box& g, bool crowd) {
  std::vector<double> out(1);
  rle::testref::literal_box_iou({d}, {g}, {static_cast<uint8_t>(crowd)}, out);
  return out[0];
}

struct Record {
  std::vector<int64_t> dt_ids, gt_ids;
  std::vector<double> dt_scores;
  std::vector<uint8_t> gt_ignore;
  std::vector<int64_t> dt_matches, gt_matches;
  std::vector<uint8_t> dt_ignore;
  // Kept for the per-instance rows.
  std::vector<int> match_pos;      // [t][d], sorted gt position or -1
  std::vector<double> match_iou;   // [t][d]
};

struct Result {
  std::vector<double> precision, recall, scores;
  std::vector<std::optional<Record>> records;  // (slot, area range, image)
  size_t K = 0;
};

// Similarity of detection dt (index into dts) and ground truth gt.
using Similarity = std::function<double(size_t dt, size_t gt)>;

inline bool score_before(double a, double b) {
  if (std::isnan(a)) return false;
  if (std::isnan(b)) return true;
  return a > b;
}

inline Result evaluate(const EvalParams& p, const std::vector<Ann>& gts,
                       const std::vector<Ann>& dts, const Similarity& sim) {
  const size_t n_img = p.img_ids.size(), n_cat = p.cat_ids.size();
  const size_t K = p.use_cats ? n_cat : 1;
  const size_t T = p.iou_thrs.size(), R = p.rec_thrs.size(), A = p.area_rng.size(),
               M = p.max_dets.size();
  const uint64_t cap = p.max_dets.empty() ? 0 : p.max_dets.back();
  Result out;
  out.K = K;
  out.precision.assign(T * R * K * A * M, -1.0);
  out.scores.assign(T * R * K * A * M, -1.0);
  out.recall.assign(T * K * A * M, -1.0);
  out.records.resize(K * A * n_img);

  for (size_t k = 0; k < K; ++k) {
    std::vector<size_t> cats;
    if (p.use_cats) {
      cats.push_back(k);
    } else {
      for (size_t c = 0; c < n_cat; ++c) cats.push_back(c);
    }
    for (size_t a = 0; a < A; ++a) {
      const double lo = p.area_rng[a][0], hi = p.area_rng[a][1];
      for (size_t i = 0; i < n_img; ++i) {
        std::vector<size_t> g_list, d_list;
        for (size_t c : cats) {
          for (size_t j = 0; j < gts.size(); ++j) {
            if (gts[j].img == i && gts[j].cat == c) g_list.push_back(j);
          }
          for (size_t j = 0; j < dts.size(); ++j) {
            if (dts[j].img == i && dts[j].cat == c) d_list.push_back(j);
          }
        }
        std::stable_sort(d_list.begin(), d_list.end(), [&](size_t x, size_t y) {
          return score_before(dts[x].score, dts[y].score);
        });
        if (d_list.size() > cap) d_list.resize(cap);
        if (g_list.empty() && d_list.empty()) continue;

        // Ground truths that count first, ignored ones after.
        std::vector<size_t> sorted_gts;
        std::vector<uint8_t> g_ig;
        for (int pass = 0; pass < 2; ++pass) {
          for (size_t j : g_list) {
            const Ann& g = gts[j];
            const double area = g.area ? *g.area : g.box[2] * g.box[3];
            const bool ig = (g.ignore ? *g.ignore : g.crowd) || area < lo || area > hi;
            if (ig != (pass == 1)) continue;
            sorted_gts.push_back(j);
            g_ig.push_back(ig);
          }
        }
        const size_t D = d_list.size(), G = sorted_gts.size();
        Record rec;
        for (size_t d : d_list) {
          rec.dt_ids.push_back(dts[d].id);
          rec.dt_scores.push_back(dts[d].score);
        }
        for (size_t g : sorted_gts) rec.gt_ids.push_back(gts[g].id);
        rec.gt_ignore = g_ig;
        rec.dt_matches.assign(T * D, 0);
        rec.gt_matches.assign(T * G, 0);
        rec.dt_ignore.assign(T * D, 0);
        rec.match_pos.assign(T * D, -1);
        rec.match_iou.assign(T * D, 0.0);
        for (size_t t = 0; t < T; ++t) {
          double thr = p.iou_thrs[t];
          if (std::isnan(thr) || thr > 1 - 1e-10) thr = 1 - 1e-10;
          std::vector<bool> taken(G, false);
          for (size_t d = 0; d < D; ++d) {
            double best = thr;
            int m = -1;
            for (size_t g = 0; g < G; ++g) {
              const bool crowd = gts[sorted_gts[g]].crowd;
              if (taken[g] && !crowd) continue;
              if (m > -1 && !g_ig[m] && g_ig[g]) break;
              const double v = sim(d_list[d], sorted_gts[g]);
              if (v < best) continue;
              best = v;
              m = static_cast<int>(g);
            }
            const Ann& det = dts[d_list[d]];
            if (m > -1) {
              taken[m] = true;
              rec.match_pos[t * D + d] = m;
              rec.match_iou[t * D + d] = best;
              rec.dt_matches[t * D + d] = gts[sorted_gts[m]].id;
              rec.gt_matches[t * G + m] = det.id;
              rec.dt_ignore[t * D + d] = g_ig[m];
            } else {
              const double area = det.area ? *det.area : det.box[2] * det.box[3];
              rec.dt_ignore[t * D + d] = area < lo || area > hi || det.unmatched_ignore;
            }
          }
        }
        out.records[(k * A + a) * n_img + i] = std::move(rec);
      }

      // Accumulate every max-detections entry of this (slot, area range).
      for (size_t m = 0; m < M; ++m) {
        const uint64_t md = p.max_dets[m];
        std::vector<double> sc;
        std::vector<std::vector<uint8_t>> tp_at(T), ig_at(T);
        size_t npig = 0;
        bool any = false;
        for (size_t i = 0; i < n_img; ++i) {
          const auto& r = out.records[(k * A + a) * n_img + i];
          if (!r) continue;
          any = true;
          for (uint8_t ig : r->gt_ignore) npig += ig == 0;
          const size_t D = r->dt_ids.size();
          for (size_t d = 0; d < D && d < md; ++d) {
            sc.push_back(r->dt_scores[d]);
            for (size_t t = 0; t < T; ++t) {
              tp_at[t].push_back(r->match_pos[t * D + d] >= 0);
              ig_at[t].push_back(r->dt_ignore[t * D + d]);
            }
          }
        }
        if (!any || npig == 0) continue;
        std::vector<size_t> order(sc.size());
        for (size_t x = 0; x < order.size(); ++x) order[x] = x;
        std::stable_sort(order.begin(), order.end(),
                         [&](size_t x, size_t y) { return score_before(sc[x], sc[y]); });
        const size_t nd = order.size();
        for (size_t t = 0; t < T; ++t) {
          std::vector<double> rc(nd), pr(nd);
          double tp_sum = 0, fp_sum = 0;
          for (size_t x = 0; x < nd; ++x) {
            const size_t o = order[x];
            if (!ig_at[t][o]) {
              if (tp_at[t][o]) {
                tp_sum += 1;
              } else {
                fp_sum += 1;
              }
            }
            rc[x] = tp_sum / static_cast<double>(npig);
            pr[x] = tp_sum / (fp_sum + tp_sum + 2.220446049250313e-16);
          }
          out.recall[((t * K + k) * A + a) * M + m] = nd ? rc[nd - 1] : 0.0;
          for (size_t x = nd; x-- > 1;) {
            if (pr[x] > pr[x - 1]) pr[x - 1] = pr[x];
          }
          for (size_t r = 0; r < R; ++r) {
            // Left-sided search: the first position whose recall reaches it.
            size_t pos = 0;
            while (pos < nd && rc[pos] < p.rec_thrs[r]) ++pos;
            const size_t at = (((t * R + r) * K + k) * A + a) * M + m;
            out.precision[at] = pos < nd ? pr[pos] : 0.0;
            out.scores[at] = pos < nd ? sc[order[pos]] : 0.0;
          }
        }
      }
    }
  }
  return out;
}

// The per-instance rows from the naive records, in slot then image order.
struct Rows {
  struct Det {
    int64_t image_id, category_id, dt_id;
    double score;
    int64_t gt_id;
    double iou;
    uint8_t ignore;
  };
  struct Gt {
    int64_t image_id, category_id, gt_id;
    uint8_t ignore, matched;
  };
  std::vector<Det> dets;
  std::vector<Gt> gts;
};

inline Rows rows(const EvalParams& p, const Result& res, size_t t, size_t a, uint64_t max_det) {
  Rows out;
  const size_t n_img = p.img_ids.size(), A = p.area_rng.size();
  for (size_t k = 0; k < res.K; ++k) {
    const int64_t cat = p.use_cats ? p.cat_ids[k] : -1;
    for (size_t i = 0; i < n_img; ++i) {
      const auto& r = res.records[(k * A + a) * n_img + i];
      if (!r) continue;
      const size_t D = r->dt_ids.size(), G = r->gt_ids.size();
      std::vector<uint8_t> matched(G, 0);
      for (size_t d = 0; d < D && d < max_det; ++d) {
        const int m = r->match_pos[t * D + d];
        out.dets.push_back({p.img_ids[i], cat, r->dt_ids[d], r->dt_scores[d],
                            m >= 0 ? r->gt_ids[m] : -1, m >= 0 ? r->match_iou[t * D + d] : 0.0,
                            r->dt_ignore[t * D + d]});
        if (m >= 0) matched[m] = 1;
      }
      for (size_t g = 0; g < G; ++g) {
        out.gts.push_back({p.img_ids[i], cat, r->gt_ids[g], r->gt_ignore[g], matched[g]});
      }
    }
  }
  return out;
}

}  // namespace quillscore::eval::naive
