#include "core/eval/confusion.h"

#include <algorithm>
#include <cmath>
#include <span>
#include <tuple>
#include <utility>

#include "core/base/checked.h"
#include "core/base/error.h"
#include "core/eval/similarity.h"
#include "core/pool/pool.h"

namespace quillscore::eval {
namespace {

struct Candidate {
  double iou;
  double score;
  uint32_t dt;  // position in the image's detections (input order)
  uint32_t gt;  // position in the image's ground truths (input order)
};

// The image's kept detections and counted ground truths, each in input
// order, with their slots.
struct ImageMembers {
  std::vector<uint32_t> dts, dt_slots, gts, gt_slots;
};

void sort_by_input(std::vector<uint32_t>& idx, std::vector<uint32_t>& slots) {
  std::vector<std::pair<uint32_t, uint32_t>> z(idx.size());
  for (size_t i = 0; i < idx.size(); ++i) z[i] = {idx[i], slots[i]};
  std::sort(z.begin(), z.end());
  for (size_t i = 0; i < z.size(); ++i) std::tie(idx[i], slots[i]) = z[i];
}

ImageMembers members_of(const EngineState& st, uint32_t image, double score_thr, uint64_t keep) {
  ImageMembers m;
  for (uint32_t k = 0; k < st.slots; ++k) {
    const group::PairedGroup pg = group::find_pair(st.gt_index, st.dt_index, k, image);
    if (pg.has_gt) {
      for (uint32_t g : st.gt_index.members(pg.gt)) {
        if (checked_at(st.gt.iscrowd, g, "ground truth") || checked_at(st.gt.ignore, g, "ground truth")) {
          continue;
        }
        m.gts.push_back(g);
        m.gt_slots.push_back(k);
      }
    }
    if (pg.has_dt) {
      auto members = st.dt_index.members(pg.dt);
      std::vector<uint32_t> ranked(members.begin(), members.end());
      rank_by_score(ranked, st.dt.scores);
      if (ranked.size() > keep) ranked.resize(static_cast<size_t>(keep));
      for (uint32_t d : ranked) {
        if (!(st.dt.scores[d] >= score_thr)) continue;
        m.dts.push_back(d);
        m.dt_slots.push_back(k);
      }
    }
  }
  sort_by_input(m.gts, m.gt_slots);
  sort_by_input(m.dts, m.dt_slots);
  return m;
}

void count_image(const EngineState& st, uint32_t image, double thr, double score_thr,
                 uint64_t keep, std::vector<double>& sim, std::vector<Candidate>& cands,
                 std::vector<int64_t>& counts) {
  const ImageMembers m = members_of(st, image, score_thr, keep);
  const size_t n = st.slots + 1, bg = st.slots, d_n = m.dts.size(), g_n = m.gts.size();
  std::vector<uint8_t> dt_used(d_n, 0), gt_used(g_n, 0);
  if (d_n > 0 && g_n > 0) {
    sim.assign(d_n * g_n, 0.0);
    similarity_matrix(st, m.dts, m.gts, thr, sim);
    cands.clear();
    for (size_t d = 0; d < d_n; ++d) {
      for (size_t g = 0; g < g_n; ++g) {
        const double v = sim[d * g_n + g];
        if (v >= thr) {
          cands.push_back({v, st.dt.scores[m.dts[d]], static_cast<uint32_t>(d),
                           static_cast<uint32_t>(g)});
        }
      }
    }
    std::sort(cands.begin(), cands.end(), [](const Candidate& a, const Candidate& b) {
      if (a.iou != b.iou) return a.iou > b.iou;
      if (a.score != b.score) return a.score > b.score;
      if (a.dt != b.dt) return a.dt < b.dt;
      return a.gt < b.gt;
    });
    for (const Candidate& c : cands) {
      if (dt_used[c.dt] || gt_used[c.gt]) continue;
      dt_used[c.dt] = gt_used[c.gt] = 1;
      ++counts[m.gt_slots[c.gt] * n + m.dt_slots[c.dt]];
    }
  }
  for (size_t g = 0; g < g_n; ++g) {
    if (!gt_used[g]) ++counts[m.gt_slots[g] * n + bg];
  }
  for (size_t d = 0; d < d_n; ++d) {
    if (!dt_used[d]) ++counts[bg * n + m.dt_slots[d]];
  }
}

}  // namespace

ConfusionMatrix confusion_matrix(const EngineState& st, double iou_thr, double score_thr,
                                 uint64_t max_det) {
  if (!st.params.use_cats) throw InputError("a confusion matrix needs categories in use");
  const double thr = std::isnan(iou_thr) ? kMaxIouThreshold : std::min(iou_thr, kMaxIouThreshold);
  const uint64_t keep = std::min(max_det, st.params.cap());
  const size_t n = size_t{st.slots} + 1;
  ConfusionMatrix out;
  out.size = n;
  out.counts.assign(checked_count<int64_t>({n, n}), 0);
  const size_t images = st.params.img_ids.size();
  // A few large chunks, each with a table of its own, summed at the end;
  // with many categories fewer, so that the tables stay small.
  constexpr size_t kCellBudget = size_t{1} << 23;
  const size_t chunks = std::max<size_t>(1, std::min({images, size_t{64}, kCellBudget / (n * n)}));
  auto partial = pool::parallel_map(chunks, [&](size_t c) {
    std::vector<int64_t> counts(n * n, 0);
    std::vector<double> sim;
    std::vector<Candidate> cands;
    const pool::CancelCheck check;
    for (size_t i = images * c / chunks, end = images * (c + 1) / chunks; i < end; ++i) {
      check();
      count_image(st, static_cast<uint32_t>(i), thr, score_thr, keep, sim, cands, counts);
    }
    return counts;
  });
  for (const auto& p : partial) {
    for (size_t i = 0; i < p.size(); ++i) out.counts[i] += p[i];
  }
  return out;
}

}  // namespace quillscore::eval
