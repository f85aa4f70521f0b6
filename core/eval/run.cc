#include "core/eval/run.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>

#include "core/base/checked.h"
#include "core/base/error.h"
#include "core/eval/inspect.h"
#include "core/eval/matching.h"
#include "core/eval/similarity.h"
#include "core/pool/pool.h"

namespace quillscore::eval {
namespace {

class Stopwatch {
 public:
  // Adds the time since construction (or the last add) to `counter`.
  void add_to(std::atomic<uint64_t>& counter) {
    const auto now = std::chrono::steady_clock::now();
    counter.fetch_add(static_cast<uint64_t>(
                          std::chrono::duration_cast<std::chrono::nanoseconds>(now - start_).count()),
                      std::memory_order_relaxed);
    start_ = now;
  }

 private:
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// The three result arrays of one slot: [T][R][A][M], [T][A][M], [T][R][A][M].
struct SlotArrays {
  size_t t, r, a, m;
  std::vector<double> precision, recall, scores;
  SlotArrays(size_t t_, size_t r_, size_t a_, size_t m_)
      : t(t_), r(r_), a(a_), m(m_),
        precision(t * r * a * m, -1.0), recall(t * a * m, -1.0), scores(t * r * a * m, -1.0) {}
};

// A slot's detections in accumulation's ranking, each as (its score's key,
// its group, its rank in the group): groups ascend by image.
std::vector<RankingKey> rank_slot(const Similarities& sims) {
  std::vector<RankingKey> list;
  for (size_t g = 0; g < sims.size(); ++g) {
    const GroupSimilarity& s = sims[g];
    for (uint32_t j = 0; j < s.ranked.size(); ++j) {
      list.push_back({RankingKey::score_key(s.dt_scores[j]), static_cast<uint32_t>(g), j});
    }
  }
  sort_by_ranking(list, [](const RankingKey& k) -> const RankingKey& { return k; }, true);
  return list;
}

struct AccumulateScratch {
  // Per 32 ranked positions, 0b11 at each position a cell leaves out (by its
  // detection limit or its images); empty when it takes them all.
  std::vector<uint64_t> left_out;
  size_t first = 0;               // the cell's first position
  size_t count = 0;               // ... and how many it takes
  std::vector<double> tp_prec;    // precision at each true positive, then its suffix maximum
  std::vector<size_t> hit;        // per recall threshold: position reaching it (kNone: not reached)
  std::vector<size_t> hit_event;  // ... and the true positive there (kNone: none)
};

constexpr size_t kNone = SIZE_MAX;
constexpr uint64_t kLowBits = 0x5555555555555555ull;   // the low bit of each 2-bit outcome
constexpr uint64_t kHighBits = 0xAAAAAAAAAAAAAAAAull;  // ... and the high bit: kIgnored

// Counting bits one instruction at a time where the processor has it; the
// baseline x86-64 build otherwise calls a library routine per count.
#if defined(__x86_64__) && defined(__GNUC__) && defined(__linux__)
#define QUILLSCORE_POPCOUNT_CLONES __attribute__((target_clones("popcnt", "default")))
#else
#define QUILLSCORE_POPCOUNT_CLONES
#endif

// Precision, recall and scores of cell (a, m) of one slot, over the ranked
// positions it takes (sc.left_out, sc.first and sc.count say which),
// `counted` being their images' ground truths that count in area range a.
//
// Interpolated precision at a position is the best precision at or after it.
// Precision only rises at true positives, and every recall threshold is first
// reached at a true positive (or at the first position, for a threshold of 0),
// so precision is computed at true positives only and the envelope is a
// suffix maximum over them. Outcomes are read 32 at a time: positions left
// out read as ignored, and a word without a true positive only adds its false
// positives to the count.
QUILLSCORE_POPCOUNT_CLONES
void accumulate_cell(const EvalParams& p, const SlotMatches& sm, uint64_t counted, size_t a,
                     size_t m, SlotArrays& out, AccumulateScratch& sc) {
  if (counted == 0) return;
  const size_t n = sm.size(), words = (n + 31) / 32, R = p.rec_thrs.size(), T = p.iou_thrs.size();
  const double n_counted = static_cast<double>(counted);
  // Positions past the last in the last word.
  const uint64_t tail = n % 32 ? ~uint64_t{0} << (2 * (n % 32)) : 0;
  sc.hit.resize(R);
  sc.hit_event.resize(R);
  const pool::CancelCheck check;
  for (size_t t = 0; t < T; ++t) {
    check();
    const size_t row = a * T + t;
    uint64_t tp = 0, fp = 0;
    std::fill(sc.hit.begin(), sc.hit.end(), kNone);
    sc.tp_prec.clear();
    size_t r = 0;
    double rec = 0;
    const auto reach = [&](size_t position, size_t event) {
      for (; r < R && rec >= p.rec_thrs[r]; ++r) {
        sc.hit[r] = position;
        sc.hit_event[r] = event;
      }
    };
    // The first position reaches the thresholds recall 0 meets, true
    // positive or not.
    if (sc.count > 0 && sm.outcomes.get(row, sc.first) != Outcome::kTruePositive) reach(sc.first, kNone);
    for (size_t w = 0; w < words; ++w) {
      uint64_t left_out = sc.left_out.empty() ? 0 : sc.left_out[w];
      if (w + 1 == words) left_out |= tail;
      const uint64_t word = (sm.outcomes.word(row, w) & ~left_out) | (left_out & kHighBits);
      uint64_t tps = word & kLowBits;
      uint64_t fps = ~(word | (word >> 1)) & kLowBits;
      while (tps) {
        const int bit = std::countr_zero(tps);
        const uint64_t before = (uint64_t{1} << bit) - 1;
        fp += static_cast<uint64_t>(std::popcount(fps & before));
        fps &= ~before;
        tps &= tps - 1;
        ++tp;
        rec = static_cast<double>(tp) / n_counted;
        sc.tp_prec.push_back(static_cast<double>(tp) / (static_cast<double>(tp + fp) + kSpacingOfOne));
        reach(w * 32 + static_cast<size_t>(bit) / 2, sc.tp_prec.size() - 1);
      }
      fp += static_cast<uint64_t>(std::popcount(fps));
    }
    out.recall[(t * out.a + a) * out.m + m] = sc.count ? rec : 0.0;
    // Suffix maximum: the interpolated precision at each true positive.
    // The running maximum stays in a register (no value is NaN, so the
    // maximum is the one the pairwise comparison gives).
    if (!sc.tp_prec.empty()) {
      double run = sc.tp_prec.back();
      for (size_t k = sc.tp_prec.size() - 1; k-- > 0;) sc.tp_prec[k] = run = std::max(sc.tp_prec[k], run);
    }
    for (size_t ri = 0; ri < R; ++ri) {
      const size_t at = ((t * R + ri) * out.a + a) * out.m + m;
      const size_t h = sc.hit[ri];
      if (h == kNone) {
        out.precision[at] = 0.0;
        out.scores[at] = 0.0;
        continue;
      }
      // A threshold met at the first position without a true positive there:
      // that position's precision is 0, the rest is the best of all true
      // positives.
      const size_t ev = sc.hit_event[ri];
      out.precision[at] = ev != kNone ? sc.tp_prec[ev] : (sc.tp_prec.empty() ? 0.0 : std::max(0.0, sc.tp_prec[0]));
      out.scores[at] = sm.scores[h];
    }
  }
}

// Every cell of one slot, over the images `include` marks (all when null).
void accumulate_slot(const EvalParams& p, const SlotMatches& sm, const std::vector<uint8_t>* include,
                     SlotArrays& out, AccumulateScratch& sc) {
  const size_t A = p.area_rng.size(), n = sm.size();
  const uint64_t cap = p.cap();
  std::vector<uint64_t> counted(A);
  for (size_t a = 0; a < A; ++a) counted[a] = sm.counted_in(a, A, include);
  for (size_t m = 0; m < p.max_dets.size(); ++m) {
    // Which positions a cell takes depends on its detection limit alone.
    const uint64_t md = p.max_dets[m];
    sc.left_out.clear();
    sc.first = n > 0 ? 0 : kNone;
    sc.count = n;
    if (md < cap || include) {
      sc.left_out.assign((n + 31) / 32, 0);
      sc.first = kNone;
      sc.count = 0;
      for (size_t i = 0; i < n; ++i) {
        if ((md >= cap || sm.rank[i] < md) && (!include || (*include)[sm.image[i]])) {
          if (sc.first == kNone) sc.first = i;
          ++sc.count;
        } else {
          sc.left_out[i / 32] |= uint64_t{3} << (2 * (i % 32));
        }
      }
    }
    for (size_t a = 0; a < A; ++a) accumulate_cell(p, sm, counted[a], a, m, out, sc);
  }
}

using Records = std::vector<std::unique_ptr<EvalImageRecord>>;

// Whether a group takes part in its slot's evaluation at all.
bool present(const GroupSimilarity& s) { return !s.ranked.empty() || !s.gts.empty(); }

// A thread's scratch for matching groups in every area range.
struct MatchWork {
  std::vector<GroupEvaluation> evals;       // per area range
  std::vector<std::vector<uint8_t>> flags;  // per area range: ground truths ignored
  MatchScratch scratch;
};

// One slot's similarity and its matching in every area range, with every
// group's outcomes in one buffer ([place][area range][threshold]) and its
// counted ground truths beside. A group is matched in all area ranges at once
// and its matching read as soon as it is made, so no group keeps one; a
// range that ignores the group's ground truths as an earlier one did takes
// that range's matches, and a group without ground truths has none to make.
struct SlotPass {
  Similarities sims;
  std::vector<size_t> first;     // per group, its first detection among the slot's
  std::vector<RankingKey> ranked;  // the slot's detections in accumulation's ranking
  std::vector<uint32_t> place;   // per detection, its place in `ranked`
  std::vector<uint8_t> outcome_buf;  // [place][area range][threshold]
  std::vector<uint32_t> counted;  // [group][area range]
  size_t t_n, a_n;

  SlotPass(EngineState& st, uint32_t k, Stopwatch& clock)
      : t_n(st.params.iou_thrs.size()), a_n(st.params.area_rng.size()) {
    const auto pairs = group::pair_groups(st.gt_index, st.dt_index, k);
    sims = compute_similarity(st, pairs);
    clock.add_to(st.timings.iou_cpu);
    first.resize(sims.size());
    counted.resize(checked_count<uint32_t>({sims.size(), a_n}));
    size_t total = 0;
    for (size_t i = 0; i < sims.size(); ++i) {
      first[i] = total;
      total += sims[i].ranked.size();
    }
    // Ranked before matching, so that matching writes each detection's
    // outcomes where the ranking puts it and the table is then filled in
    // one sequential pass.
    ranked = rank_slot(sims);
    place.resize(total);
    for (size_t i = 0; i < ranked.size(); ++i) {
      place[first[ranked[i].image] + ranked[i].rank] = static_cast<uint32_t>(i);
    }
    outcome_buf.resize(checked_count<uint8_t>({total, a_n, t_n}));
    clock.add_to(st.timings.accumulate_cpu);
  }

  // Matches every group; given `records` (per area range a, one position per
  // image from records[a * images] on), also fills them in.
  void match(EngineState& st, uint32_t k, std::unique_ptr<EvalImageRecord>* records, Stopwatch& clock) {
    const EvalParams& p = st.params;
    const size_t A = a_n, T = t_n, images = p.img_ids.size();
    // Under the lowest threshold no threshold matches (matching skips such
    // a detection the same way).
    const double floor = pruning_threshold(p.iou_thrs);
    auto chunk = [&](size_t begin, size_t end) {
      // Per-thread scratch: a streamed batch matches hundreds of small slots,
      // and allocating this for each cost more than matching them. Nothing
      // below runs other pool work on this thread while it is in use.
      thread_local MatchWork work;
      work.evals.resize(A);
      work.flags.resize(A);
      std::vector<GroupEvaluation>& evals = work.evals;
      std::vector<std::vector<uint8_t>>& flags = work.flags;
      MatchScratch& ms = work.scratch;
      const pool::CancelCheck check;
      for (size_t i = begin; i < end; ++i) {
        check();
        const GroupSimilarity& s = sims[i];
        if (!present(s)) continue;
        const uint32_t* places = place.data() + first[i];
        const auto out = [&](size_t j, size_t a) { return outcome_buf.data() + (places[j] * A + a) * T; };
        const size_t d_n = s.ranked.size();
        if (s.gts.empty() && !records) {
          for (size_t a = 0; a < A; ++a) {
            counted[i * A + a] = 0;
            for (size_t j = 0; j < d_n; ++j) {
              const Outcome o = unmatched_ignored(s, j, p.area_rng[a]) ? Outcome::kIgnored
                                                                       : Outcome::kFalsePositive;
              std::fill_n(out(j, a), T, static_cast<uint8_t>(o));
            }
          }
          continue;
        }
        for (size_t a = 0; a < A; ++a) {
          const auto& range = p.area_rng[a];
          ground_truth_ignored(s, range, flags[a]);
          size_t alike = 0;
          while (alike < a && flags[alike] != flags[a]) ++alike;
          // The outcomes read the matching alone (a detection matched to an
          // ignored ground truth, or unmatched and outside the range, is
          // ignored), so a range reusing an earlier one's matching copies
          // it only for the records.
          if (alike == a) {
            match_group(st, s, range, evals[a], ms);
          } else if (records) {
            reuse_matching(s, range, evals[alike], evals[a]);
            alike = a;
          }
          const GroupEvaluation& e = evals[alike];
          for (size_t j = 0; j < e.d; ++j) {
            const bool own = unmatched_ignored(s, j, range);
            if (floor > s.row_best[j]) {  // below every threshold: matched at none
              std::fill_n(out(j, a), T, static_cast<uint8_t>(own ? Outcome::kIgnored : Outcome::kFalsePositive));
              continue;
            }
            for (size_t t = 0; t < T; ++t) {
              const int32_t m = e.matches[t * e.d + j];
              const Outcome o = m >= 0 ? (e.gt_ignore[m] ? Outcome::kIgnored : Outcome::kTruePositive)
                                       : (own ? Outcome::kIgnored : Outcome::kFalsePositive);
              out(j, a)[t] = static_cast<uint8_t>(o);
            }
          }
          counted[i * A + a] = static_cast<uint32_t>(std::count(e.gt_ignore.begin(), e.gt_ignore.end(), 0));
          if (!records) continue;
          auto rec = make_record(st, s, e);
          rec->image_id = checked_at(p.img_ids, s.image, "image");
          rec->category_id = p.use_cats ? p.cat_ids[k] : -1;
          rec->area_index = a;
          rec->max_det = p.cap();
          records[a * images + s.image] = std::move(rec);
        }
      }
    };
    pool::parallel_chunks(sims.size(), chunk, kGroupsPerChunk);
    clock.add_to(st.timings.match_cpu);
  }

  // The score of the i-th ranked detection, as the results gave it.
  double score_at(size_t i) const {
    const RankingKey& r = ranked[i];
    return RankingKey::invertible(r.score) ? RankingKey::score_of(r.score) : sims[r.image].dt_scores[r.rank];
  }
};

// Slots of a few detections each (a streamed batch spreads a few thousand
// over hundreds of categories) go to the pool in runs, not one by one.
size_t slots_per_chunk(const EngineState& st) {
  constexpr size_t kDetectionsPerChunk = 4096;
  const size_t per_slot = st.dt.size() / std::max<size_t>(st.slots, 1);
  return std::max<size_t>(1, kDetectionsPerChunk / std::max<size_t>(per_slot, 1));
}

// Matches one slot at every area range into its matched state; given
// `records`, also appends its per-image records.
SlotMatches match_slot(EngineState& st, uint32_t k, Records* records) {
  const EvalParams& p = st.params;
  Stopwatch clock;
  SlotPass pass(st, k, clock);
  const size_t T = p.iou_thrs.size(), A = p.area_rng.size(), AT = A * T;
  std::unique_ptr<EvalImageRecord>* by_image = nullptr;
  if (records) {
    const size_t base = records->size();
    records->resize(base + checked_count<std::unique_ptr<EvalImageRecord>>({A, p.img_ids.size()}));
    by_image = records->data() + base;
  }
  pass.match(st, k, by_image, clock);
  const std::vector<RankingKey>& ranked = pass.ranked;
  SlotMatches sm;
  std::vector<uint32_t> image_of(pass.sims.size(), 0);  // group -> index into sm.images
  for (size_t gi = 0; gi < pass.sims.size(); ++gi) {
    if (!present(pass.sims[gi])) continue;
    image_of[gi] = static_cast<uint32_t>(sm.images.size());
    sm.images.push_back(pass.sims[gi].image);
    sm.counted.insert(sm.counted.end(), pass.counted.begin() + gi * A, pass.counted.begin() + (gi + 1) * A);
  }
  const size_t n = ranked.size();
  sm.scores.resize(n);
  sm.image.resize(n);
  sm.rank.resize(n);
  sm.outcomes = OutcomeTable(checked_count<uint8_t>({A, T}), n);
  // Four ranked detections at a time, so that each byte of the table is
  // written once, whole.
  const pool::CancelCheck check;
  for (size_t i0 = 0; i0 < n; i0 += 4) {
    if (i0 % 4096 == 0) check();
    const size_t quad = std::min<size_t>(4, n - i0);
    for (size_t i = i0; i < i0 + quad; ++i) {
      const RankingKey& r = ranked[i];
      sm.scores[i] = pass.score_at(i);
      sm.image[i] = image_of[r.image];
      sm.rank[i] = r.rank;
    }
    const uint8_t* src = pass.outcome_buf.data() + i0 * AT;
    for (size_t row = 0; row < AT; ++row) {
      unsigned packed = 0;
      for (size_t q = 0; q < quad; ++q) packed |= unsigned{src[q * AT + row]} << (2 * q);
      sm.outcomes.set_four(row, i0 / 4, static_cast<uint8_t>(packed));
    }
  }
  clock.add_to(st.timings.accumulate_cpu);
  return sm;
}

// Every slot matched, with the records where asked for; the state is shared
// from the evaluator's cache from then on.
std::shared_ptr<const MatchedState> match_all(EngineState& st, std::vector<Records>* records) {
  auto state = std::make_shared<MatchedState>();
  state->t_n = st.params.iou_thrs.size();
  state->a_n = st.params.area_rng.size();
  if (records) records->resize(st.slots);
  state->slots = pool::parallel_map(st.slots, [&](size_t k) {
    return match_slot(st, static_cast<uint32_t>(k), records ? &(*records)[k] : nullptr);
  }, slots_per_chunk(st));
  return st.matched.put(std::move(state));
}

// One slot's matching in the streamed layout, straight from its pass: each
// detection's outcomes are already side by side there.
StreamSlot stream_slot(EngineState& st, uint32_t k) {
  Stopwatch clock;
  SlotPass pass(st, k, clock);
  pass.match(st, k, nullptr, clock);
  const size_t A = pass.a_n, AT = A * pass.t_n, bytes = (AT + 3) / 4;
  StreamSlot out;
  for (size_t gi = 0; gi < pass.sims.size(); ++gi) {
    const auto row = std::span(pass.counted).subspan(gi * A, A);
    if (std::all_of(row.begin(), row.end(), [](uint32_t c) { return c == 0; })) continue;
    out.counted_images.push_back(pass.sims[gi].image);
    out.counted.insert(out.counted.end(), row.begin(), row.end());
  }
  const size_t n = pass.ranked.size();
  out.scores.resize(n);
  out.image.resize(n);
  out.rank.resize(n);
  out.outcomes.assign(checked_count<uint8_t>({n, bytes}), 0);
  for (size_t i = 0; i < n; ++i) {
    const RankingKey& r = pass.ranked[i];
    out.scores[i] = pass.score_at(i);
    out.image[i] = pass.sims[r.image].image;
    out.rank[i] = r.rank;
    const uint8_t* src = pass.outcome_buf.data() + i * AT;
    uint8_t* dst = out.outcomes.data() + i * bytes;
    for (size_t row = 0; row < AT; ++row) dst[row / 4] |= static_cast<uint8_t>(src[row] << (row % 4 * 2));
  }
  clock.add_to(st.timings.accumulate_cpu);
  return out;
}

}  // namespace

std::shared_ptr<const MatchedState> matched_state(EngineState& st) {
  if (auto cached = st.matched.get()) return cached;
  return match_all(st, nullptr);
}

std::vector<StreamSlot> streamed_matching(EngineState& st) {
  return pool::parallel_map(st.slots, [&](size_t k) { return stream_slot(st, static_cast<uint32_t>(k)); },
                            slots_per_chunk(st));
}

std::vector<double> group_precision(EngineState& st, std::span<const uint32_t> image_group,
                                    uint32_t groups) {
  const EvalParams& p = st.params;
  if (image_group.size() != p.img_ids.size()) {
    throw InputError("image groups: one group per evaluated image is needed, got " +
                     std::to_string(image_group.size()) + " for " +
                     std::to_string(p.img_ids.size()) + " images");
  }
  for (uint32_t g : image_group) {
    if (g >= groups) throw InputError("image groups: a group number is not below the group count");
  }
  const size_t G = groups, T = p.iou_thrs.size(), R = p.rec_thrs.size(), K = st.slots,
               A = p.area_rng.size(), M = p.max_dets.size();
  std::vector<double> out(checked_count<double>({G, T, R, K, A, M}), -1.0);
  const auto state = matched_state(st);
  // A group's ranking is the slot's ranking with the other groups'
  // detections taken out, which is the ranking an evaluation of the group's
  // images alone builds (the order of the rest is unchanged).
  const auto per_slot = pool::parallel_map(K, [&](size_t k) {
    const SlotMatches& sm = state->slots[k];
    std::vector<double> slot_out;
    slot_out.reserve(G * T * R * A * M);
    std::vector<uint8_t> member(sm.images.size());
    AccumulateScratch scratch;
    for (uint32_t g = 0; g < groups; ++g) {
      for (size_t i = 0; i < sm.images.size(); ++i) member[i] = image_group[sm.images[i]] == g;
      SlotArrays local(T, R, A, M);
      accumulate_slot(p, sm, &member, local, scratch);
      slot_out.insert(slot_out.end(), local.precision.begin(), local.precision.end());
    }
    return slot_out;
  });
  // Per slot [g][t][r][a][m] into [g][t][r][k][a][m].
  const size_t block = A * M;
  for (size_t k = 0; k < K; ++k) {
    for (size_t gtr = 0; gtr < G * T * R; ++gtr) {
      std::copy_n(per_slot[k].begin() + gtr * block, block, out.begin() + (gtr * K + k) * block);
    }
  }
  return out;
}

AccumulatedResult accumulate(const EvalParams& p, const MatchedState& state, Timings* timings) {
  const size_t T = p.iou_thrs.size(), R = p.rec_thrs.size(), K = state.slots.size(),
               A = p.area_rng.size(), M = p.max_dets.size();
  if (state.t_n != T || state.a_n != A) throw InternalError("matched state and parameters disagree");
  AccumulatedResult result;
  // A slot's own arrays are no larger than these.
  const size_t cells = checked_count<double>({T, R, K, A, M}),
               recall_cells = checked_count<double>({T, K, A, M});
  result.dims = {T, R, K, A, M};
  result.precision.assign(cells, -1.0);
  result.recall.assign(recall_cells, -1.0);
  result.scores.assign(cells, -1.0);
  pool::parallel_chunks(K, [&](size_t begin, size_t end) {
    Stopwatch clock;
    SlotArrays local(T, R, A, M);
    AccumulateScratch scratch;
    for (size_t k = begin; k < end; ++k) {
      std::fill(local.precision.begin(), local.precision.end(), -1.0);
      std::fill(local.recall.begin(), local.recall.end(), -1.0);
      std::fill(local.scores.begin(), local.scores.end(), -1.0);
      accumulate_slot(p, state.slots[k], nullptr, local, scratch);
      // The slot's cells of `result`; no other slot writes them.
      const size_t block = A * M;
      for (size_t t = 0; t < T; ++t) {
        std::copy_n(local.recall.begin() + t * block, block, result.recall.begin() + (t * K + k) * block);
        for (size_t r = 0; r < R; ++r) {
          const size_t src = (t * R + r) * block, dst = ((t * R + r) * K + k) * block;
          std::copy_n(local.precision.begin() + src, block, result.precision.begin() + dst);
          std::copy_n(local.scores.begin() + src, block, result.scores.begin() + dst);
        }
      }
    }
    if (timings) clock.add_to(timings->accumulate_cpu);
  });
  return result;
}

AccumulatedResult run(EngineState& st, bool collect_records) {
  // Records need the matching itself; otherwise a matched state at hand is
  // all accumulation reads.
  std::vector<Records> records;
  const auto state = collect_records ? match_all(st, &records) : matched_state(st);
  AccumulatedResult result = accumulate(st.params, *state, &st.timings);
  if (collect_records) {
    const size_t K = st.slots, A = st.params.area_rng.size();
    result.records.reserve(
        checked_count<std::unique_ptr<EvalImageRecord>>({K, A, st.params.img_ids.size()}));
    for (auto& slot : records) {
      for (auto& r : slot) result.records.push_back(std::move(r));
    }
  }
  return result;
}

Verdicts slot_verdicts(const EngineState& st, uint32_t k, size_t t_idx, size_t a_idx,
                       uint64_t max_det) {
  const EvalParams& p = st.params;
  Verdicts v;
  const auto pairs = group::pair_groups(st.gt_index, st.dt_index, k);
  const auto sims = compute_similarity(st, pairs);
  const int64_t cat = p.use_cats ? p.cat_ids[k] : -1;
  GroupEvaluation e;
  MatchScratch ms;
  std::vector<uint8_t> matched;
  const pool::CancelCheck check;
  for (const GroupSimilarity& s : sims) {
    check();
    // Matched at the one threshold asked for: its outcomes are the first
    // row. The indexes are checked only where there is something to match,
    // the area range first.
    const auto& range = checked_at(p.area_rng, a_idx, "area range");
    const std::span<const double> thr =
        std::span(p.iou_thrs).subspan(checked_index(t_idx, p.iou_thrs.size(), "IoU threshold"), 1);
    match_group(st, s, range, thr, e, ms);
    if (!e.present) continue;
    const int64_t image = checked_at(p.img_ids, s.image, "image");
    const size_t nd = static_cast<size_t>(std::min<uint64_t>(e.d, max_det));
    matched.assign(e.g, 0);
    for (size_t j = 0; j < nd; ++j) {
      const uint32_t det = s.ranked[j];
      const int32_t m = e.matches[j];
      DetectionVerdict row{image, cat, checked_at(st.dt.ids, det, "detection"), e.scores[j], -1,
                           0.0, e.dt_ignore[j]};
      if (m >= 0) {
        const uint32_t pos = e.gt_order[m];
        row.gt_id = checked_at(st.gt.ids, s.gts[pos], "ground truth");
        row.iou = s.matrix[j * e.g + pos];
        matched[m] = 1;
      }
      v.detections.push_back(row);
    }
    for (size_t j = 0; j < e.g; ++j) {
      v.ground_truths.push_back(
          {image, cat, checked_at(st.gt.ids, s.gts[e.gt_order[j]], "ground truth"),
           e.gt_ignore[j], matched[j]});
    }
  }
  return v;
}

Verdicts per_instance(const EngineState& st, size_t t_idx, size_t a_idx, uint64_t max_det) {
  auto per_slot = pool::parallel_map(st.slots, [&](size_t k) {
    return slot_verdicts(st, static_cast<uint32_t>(k), t_idx, a_idx, max_det);
  });
  Verdicts out;
  for (auto& v : per_slot) {
    out.detections.insert(out.detections.end(), v.detections.begin(), v.detections.end());
    out.ground_truths.insert(out.ground_truths.end(), v.ground_truths.begin(), v.ground_truths.end());
  }
  return out;
}

void configure_lvis(EngineState& st, std::span<const uint8_t> gt_ignore,
                    std::span<const std::pair<int64_t, int64_t>> non_exhaustive) {
  if (gt_ignore.size() != st.gt.size()) {
    throw InputError("LVIS ignore flags do not match ground-truth length");
  }
  std::vector<std::pair<int64_t, int64_t>> pairs(non_exhaustive.begin(), non_exhaustive.end());
  std::sort(pairs.begin(), pairs.end());
  const EvalParams& p = st.params;
  const AnnotationSet& dt = st.dt;
  std::vector<uint8_t> unmatched_ignore(dt.size(), 0);
  for (size_t i = 0; i < dt.size() && !pairs.empty(); ++i) {
    const uint32_t img = checked_at(dt.image_index, i, "detection"),
                   cat = checked_at(dt.category_index, i, "detection");
    if (img == kUnlisted || cat == kUnlisted) continue;
    const std::pair<int64_t, int64_t> key{checked_at(p.img_ids, img, "image"),
                                          checked_at(p.cat_ids, cat, "category")};
    unmatched_ignore[i] = std::binary_search(pairs.begin(), pairs.end(), key);
  }
  // Every check has passed: the state changes as a whole or not at all.
  st.gt.ignore.assign(gt_ignore.begin(), gt_ignore.end());
  st.gt.iscrowd.assign(st.gt.size(), 0);
  st.dt.unmatched_ignore = std::move(unmatched_ignore);
  st.matched.clear();
}

}  // namespace quillscore::eval
