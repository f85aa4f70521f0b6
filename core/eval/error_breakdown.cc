#include "core/eval/error_breakdown.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <unordered_map>
#include <vector>

#include "core/base/checked.h"
#include "core/base/error.h"
#include "core/eval/similarity.h"
#include "core/pool/pool.h"

namespace quillscore::eval {
namespace {

constexpr int8_t kNoError = -1;
constexpr uint32_t kNone = 0xFFFFFFFF;

// What a kept detection became.
enum State : int8_t { kFalsePositive = 0, kTruePositive = 1, kCrowdIgnored = 2 };

struct Detection {
  uint32_t row;       // position in the detection set
  uint32_t category;  // position in params.cat_ids
  double score;
  State state;
  int8_t error;        // ErrorType or kNoError
  uint32_t target;     // the free ground truth a Cls/Loc fix would claim, image-local; kNone
  bool chosen = false; // the one Cls/Loc error that fixes its target
};

struct GroundTruth {
  uint32_t row;  // position in the ground-truth set
  uint32_t category;
  bool matched = false;
  bool covered = false;           // the target of some Cls/Loc error
  int8_t explained = kNoError;   // the error of the one whose fix claims it
};

struct ImageResult {
  std::vector<Detection> dets;    // rank order
  std::vector<GroundTruth> gts;   // regular ground truths, set order
};

// Annotation positions bucketed by image position, each bucket in set order,
// leaving out rows of unlisted images and categories.
struct Buckets {
  std::vector<size_t> start;
  std::vector<uint32_t> members;
  std::span<const uint32_t> of(uint32_t image) const {
    return std::span(members).subspan(start[image], start[image + 1] - start[image]);
  }
};

Buckets bucket_by_image(const AnnotationSet& set, size_t images) {
  Buckets b;
  b.start.assign(images + 1, 0);
  const size_t n = set.size();
  auto listed = [&](size_t i) {
    const uint32_t img = checked_at(set.image_index, i, "annotation");
    return img != kUnlisted && img < images &&
           checked_at(set.category_index, i, "annotation") != kUnlisted;
  };
  for (size_t i = 0; i < n; ++i) {
    if (listed(i)) ++b.start[set.image_index[i] + 1];
  }
  for (size_t k = 0; k < images; ++k) b.start[k + 1] += b.start[k];
  b.members.resize(b.start[images]);
  std::vector<size_t> fill(b.start.begin(), b.start.end() - 1);
  for (size_t i = 0; i < n; ++i) {
    if (listed(i)) b.members[fill[set.image_index[i]]++] = static_cast<uint32_t>(i);
  }
  return b;
}

ImageResult analyse_image(const EngineState& st, const ErrorBreakdownOptions& opt,
                          std::span<const uint32_t> gt_members, std::span<const uint32_t> dt_members) {
  const AnnotationSet& gt = st.gt;
  const AnnotationSet& dt = st.dt;
  ImageResult out;

  std::vector<uint32_t> regular, crowd;
  for (uint32_t g : gt_members) (checked_at(gt.iscrowd, g, "annotation") ? crowd : regular).push_back(g);
  out.gts.reserve(regular.size());
  for (uint32_t g : regular) out.gts.push_back({g, gt.category_index[g]});
  if (dt_members.empty()) return out;

  std::vector<uint32_t> ranked(dt_members.begin(), dt_members.end());
  rank_by_score(ranked, dt.scores);
  if (ranked.size() > opt.max_dets) ranked.resize(static_cast<size_t>(opt.max_dets));
  const size_t d_n = ranked.size(), r_n = regular.size(), c_n = crowd.size();

  // Regular ground truths in the first r_n columns, crowd regions after.
  std::vector<uint32_t> columns(regular);
  columns.insert(columns.end(), crowd.begin(), crowd.end());
  // Nothing tells apart IoUs below the background IoU (all of them are
  // background, none matches or localises), so masks need not be walked
  // for them.
  const double theta = std::clamp(std::min(opt.background_iou, opt.foreground_iou), 0.0, 1.0);
  // A ground truth of another category matters below the foreground IoU only
  // to tell a background error from "both", which is settled below for the
  // detections that come to it; mask IoU of such pairs is pruned till then.
  std::vector<uint32_t> dt_class, gt_class;
  for (uint32_t d : ranked) dt_class.push_back(dt.category_index[d]);
  for (uint32_t g : columns) gt_class.push_back(gt.category_index[g]);
  const double other_floor = std::max(theta, std::clamp(opt.foreground_iou, 0.0, 1.0));
  PairSimilarity sim(st, ranked, columns);
  const size_t width = columns.size();
  std::vector<double> iou(d_n * width);
  for (size_t d = 0; d < d_n; ++d) {
    for (size_t j = 0; j < width; ++j) {
      iou[d * width + j] = sim(d, j, dt_class[d] == gt_class[j] ? theta : other_floor);
    }
  }
  auto at = [&](size_t d, size_t j) { return iou[d * width + j]; };

  out.dets.reserve(d_n);
  for (uint32_t d : ranked) {
    out.dets.push_back({d, dt.category_index[d], dt.scores[d], kFalsePositive, kNoError, kNone});
  }

  // Greedy in rank order; on equal IoU the earlier ground truth.
  if (r_n > 0) {
    for (size_t d = 0; d < d_n; ++d) {
      const uint32_t c = out.dets[d].category;
      double best = -std::numeric_limits<double>::infinity();
      size_t m = r_n;
      for (size_t j = 0; j < r_n; ++j) {
        if (out.gts[j].matched || out.gts[j].category != c) continue;
        if (at(d, j) > best) best = at(d, j), m = j;
      }
      if (m < r_n && best >= opt.foreground_iou) {
        out.gts[m].matched = true;
        out.dets[d].state = kTruePositive;
      }
    }
  }
  // A crowd region of the detection's own category absorbs it only above the
  // foreground IoU (COCO: at or above).
  for (size_t d = 0; d < d_n; ++d) {
    if (out.dets[d].state != kFalsePositive) continue;
    for (size_t j = 0; j < c_n; ++j) {
      if (gt.category_index[crowd[j]] == out.dets[d].category && at(d, r_n + j) > opt.foreground_iou) {
        out.dets[d].state = kCrowdIgnored;
        break;
      }
    }
  }

  // A detection that is not a true positive and overlaps no ground truth
  // beyond the background IoU so far is a background error or "both": its
  // pairs with other categories, pruned above, decide, and the first that
  // reaches beyond the background IoU settles it.
  if (other_floor > theta) {
    for (size_t d = 0; d < d_n; ++d) {
      if (out.dets[d].state == kTruePositive) continue;
      double any = 0.0;
      for (size_t j = 0; j < r_n; ++j) any = std::max(any, at(d, j));
      for (size_t j = 0; j < r_n && any <= opt.background_iou; ++j) {
        if (gt_class[j] == dt_class[d]) continue;
        iou[d * width + j] = sim(d, j, theta);
        any = std::max(any, at(d, j));
      }
    }
  }

  // Every detection that is not a true positive gets one error, ignored ones
  // included: tidecv classifies them on purpose.
  std::vector<size_t> best_candidate(r_n, d_n);
  for (size_t d = 0; d < d_n; ++d) {
    Detection& det = out.dets[d];
    if (det.state == kTruePositive) continue;
    if (r_n == 0) {
      det.error = kBkg;
      continue;
    }
    // Largest IoU with a same-category and with an other-category ground
    // truth (first on ties, 0 when there is none), with a taken
    // same-category one, and with any.
    double same = 0.0, other = 0.0, taken = 0.0, any = 0.0;
    size_t same_at = kNone, other_at = kNone;
    for (size_t j = 0; j < r_n; ++j) {
      const double v = at(d, j);
      any = std::max(any, v);
      if (out.gts[j].category == det.category) {
        if (v > same) same = v, same_at = j;
        if (out.gts[j].matched) taken = std::max(taken, v);
      } else if (v > other) {
        other = v, other_at = j;
      }
    }
    size_t target = kNone;
    if (same_at != kNone && opt.background_iou <= same && same <= opt.foreground_iou) {
      det.error = kLoc, target = same_at;
    } else if (other_at != kNone && other >= opt.foreground_iou) {
      det.error = kCls, target = other_at;
    } else if (taken >= opt.foreground_iou) {
      det.error = kDupe;
    } else if (any <= opt.background_iou) {
      det.error = kBkg;
    } else {
      det.error = kBoth;
    }
    // Fixing an error aimed at a taken ground truth just drops the detection.
    if (target == kNone || out.gts[target].matched) continue;
    det.target = static_cast<uint32_t>(target);
    out.gts[target].covered = true;
    // The highest score claims the ground truth, the earlier on ties; any
    // score can (tidecv starts from -1 and fails below it).
    size_t& b = best_candidate[target];
    if (b == d_n || out.dets[b].score < det.score) b = d;
  }
  for (size_t b : best_candidate) {
    if (b < d_n) out.dets[b].chosen = true, out.gts[out.dets[b].target].explained = out.dets[b].error;
  }
  return out;
}

// AP@50 in percent of one category's points, true positive or not, in
// evaluation order.
double category_ap(std::span<const uint8_t> tp, uint64_t n_gt, std::vector<double>& precision,
                   std::vector<double>& recall) {
  if (n_gt == 0 || tp.empty()) return 0.0;
  const size_t n = tp.size();
  precision.resize(n);
  recall.resize(n);
  uint64_t hits = 0;
  for (size_t k = 0; k < n; ++k) {
    hits += tp[k];
    precision[k] = static_cast<double>(hits) / static_cast<double>(k + 1);
    recall[k] = static_cast<double>(hits) / static_cast<double>(n_gt);
  }
  for (size_t k = n - 1; k-- > 0;) precision[k] = std::max(precision[k], precision[k + 1]);
  double sum = 0.0;
  size_t j = 0;
  for (int i = 0; i <= 100; ++i) {
    // tidecv's recall points are i / 100, not i * 0.01.
    const double r = static_cast<double>(i) / 100.0;
    while (j < n && recall[j] < r) ++j;
    sum += j < n ? precision[j] : 0.0;
  }
  return sum / 101.0 * 100.0;
}

struct Flat {
  std::vector<Detection> dets;     // image order, then rank
  std::vector<uint32_t> target;    // global ground-truth position or kNone
  std::vector<GroundTruth> gts;    // image order, then set order
  std::vector<uint32_t> class_order;  // categories as first met
};

// What the AP computations read of a detection, packed so that each pass
// over the detections in score order reads memory in order.
struct Entry {
  uint32_t category;
  uint32_t fixed_category;  // the category of the ground truth its fix claims, or kNone
  State state;
  int8_t error;
};

std::vector<Entry> entries(const Flat& f, std::span<const uint32_t> order) {
  std::vector<Entry> out;
  out.reserve(order.size());
  for (uint32_t i : order) {
    const Detection& d = f.dets[i];
    // Only the chosen Cls/Loc error claims its ground truth, in that ground
    // truth's category; every other error of the type goes when it is fixed.
    const bool claims = (d.error == kCls || d.error == kLoc) && f.target[i] != kNone && d.chosen;
    out.push_back({d.category, claims ? f.gts[f.target[i]].category : kNone, d.state, d.error});
  }
  return out;
}

// The point a detection gives once error type `fix` is fixed (-1: none
// fixed), or nullopt: ignored on a crowd region, or removed by the fix.
inline std::optional<std::pair<uint32_t, bool>> point_of(const Entry& d, int fix) {
  if (fix >= 0 && d.error == fix) {
    if (d.fixed_category == kNone) return std::nullopt;
    return std::pair{d.fixed_category, true};
  }
  if (d.state == kCrowdIgnored) return std::nullopt;
  return std::pair{d.category, d.state == kTruePositive};
}

// Mean AP over the categories of `classes` that hold a ground truth or a
// point (0 when none does), the points taken in the order of `ranked`.
double mean_ap(std::span<const Entry> ranked, int fix, std::span<const uint64_t> n_gt,
               std::span<const uint32_t> classes) {
  std::vector<size_t> start(n_gt.size() + 1, 0);
  std::vector<uint32_t> cat;
  std::vector<uint8_t> tp;
  cat.reserve(ranked.size());
  tp.reserve(ranked.size());
  for (const Entry& e : ranked) {
    if (auto p = point_of(e, fix)) {
      ++start[p->first + 1];
      cat.push_back(p->first);
      tp.push_back(p->second);
    }
  }
  for (size_t c = 0; c + 1 < start.size(); ++c) start[c + 1] += start[c];
  std::vector<uint8_t> bucketed(tp.size());
  std::vector<size_t> fill(start.begin(), start.end() - 1);
  for (size_t k = 0; k < tp.size(); ++k) bucketed[fill[cat[k]]++] = tp[k];
  std::vector<double> precision, recall;
  double sum = 0.0;
  size_t counted = 0;
  for (uint32_t c : classes) {
    const size_t len = start[c + 1] - start[c];
    if (len == 0 && n_gt[c] == 0) continue;
    sum += category_ap(std::span(bucketed).subspan(start[c], len), n_gt[c], precision, recall);
    ++counted;
  }
  return counted ? sum / static_cast<double>(counted) : 0.0;
}

// Detections by descending score, NaN last, equal scores in order.
std::vector<uint32_t> score_order(const Flat& f) {
  struct Key {
    double score;
    uint32_t index;
  };
  std::vector<Key> keys;
  std::vector<uint32_t> nan;
  keys.reserve(f.dets.size());
  for (size_t i = 0; i < f.dets.size(); ++i) {
    const double s = f.dets[i].score;
    if (std::isnan(s)) {
      nan.push_back(static_cast<uint32_t>(i));
    } else {
      keys.push_back({s, static_cast<uint32_t>(i)});
    }
  }
  // A strict order (the index breaks ties), so the two halves sorted side by
  // side and merged give the one answer.
  const auto before = [](const Key& a, const Key& b) {
    return a.score > b.score || (a.score == b.score && a.index < b.index);
  };
  const size_t half = keys.size() / 2;
  pool::parallel_map(2, [&](size_t h) {
    std::sort(keys.begin() + (h ? half : 0), h ? keys.end() : keys.begin() + half, before);
    return 0;
  });
  std::inplace_merge(keys.begin(), keys.begin() + half, keys.end(), before);
  std::vector<uint32_t> out;
  out.reserve(f.dets.size());
  for (const Key& k : keys) out.push_back(k.index);
  out.insert(out.end(), nan.begin(), nan.end());
  return out;
}

// The same with former errors before true positives among equal scores.
std::vector<uint32_t> errors_first(const Flat& f, std::span<const uint32_t> by_score) {
  std::vector<uint32_t> out(by_score.begin(), by_score.end());
  auto same = [&](uint32_t a, uint32_t b) {
    const double sa = f.dets[a].score, sb = f.dets[b].score;
    return sa == sb || (std::isnan(sa) && std::isnan(sb));
  };
  for (size_t begin = 0; begin < out.size();) {
    size_t end = begin + 1;
    while (end < out.size() && same(out[begin], out[end])) ++end;
    std::stable_partition(out.begin() + begin, out.begin() + end,
                          [&](uint32_t i) { return f.dets[i].state != kTruePositive; });
    begin = end;
  }
  return out;
}

// The categories as tidecv sums them after fixing `fix`: first those met by
// a point from the error list (detection order), then the rest as first met.
std::vector<uint32_t> fixed_class_order(const Flat& f, std::span<const Entry> in_order, int fix,
                                        bool tidecv_ties, size_t categories) {
  if (!tidecv_ties) return f.class_order;
  std::vector<uint32_t> out;
  std::vector<uint8_t> seen(categories, 0);
  for (const Entry& e : in_order) {
    if (e.error == kNoError) continue;
    if (auto p = point_of(e, fix); p && !seen[p->first]) seen[p->first] = 1, out.push_back(p->first);
  }
  for (uint32_t c : f.class_order) {
    if (!seen[c]) out.push_back(c);
  }
  return out;
}

// Every image of options.image_order that the parameters list (once each),
// analysed in that order.
std::vector<ImageResult> analyse_images(const EngineState& st, const ErrorBreakdownOptions& opt) {
  if (st.params.iou_type == IouType::kKeypoints) {
    throw InputError("error analysis needs boxes or masks: keypoints have no error breakdown");
  }
  const size_t images = st.params.img_ids.size();
  std::unordered_map<int64_t, uint32_t> position;
  for (size_t i = 0; i < images; ++i) position[st.params.img_ids[i]] = static_cast<uint32_t>(i);
  std::vector<uint32_t> walk;
  std::vector<uint8_t> walked(images, 0);
  for (int64_t id : opt.image_order) {
    auto it = position.find(id);
    if (it == position.end() || walked[it->second]) continue;
    walked[it->second] = 1;
    walk.push_back(it->second);
  }
  const Buckets gts = bucket_by_image(st.gt, images);
  const Buckets dts = bucket_by_image(st.dt, images);
  return pool::parallel_map(walk.size(), [&](size_t k) {
    return analyse_image(st, opt, gts.of(walk[k]), dts.of(walk[k]));
  });
}

}  // namespace

ErrorLabels error_labels(const EngineState& st, const ErrorBreakdownOptions& opt) {
  ErrorLabels out;
  out.detections.assign(st.dt.size(), kLabelNone);
  out.ground_truths.assign(st.gt.size(), kLabelNone);
  for (const ImageResult& r : analyse_images(st, opt)) {
    for (const Detection& d : r.dets) {
      out.detections[d.row] = d.error == kNoError ? kLabelTruePositive : static_cast<uint8_t>(d.error);
    }
    for (const GroundTruth& g : r.gts) {
      // Every covered ground truth has the one error that claims it.
      out.ground_truths[g.row] = g.matched                 ? kLabelTruePositive
                                 : g.explained != kNoError ? static_cast<uint8_t>(g.explained)
                                                           : static_cast<uint8_t>(kMiss);
    }
  }
  return out;
}

ErrorBreakdown error_breakdown(const EngineState& st, const ErrorBreakdownOptions& opt) {
  const size_t categories = st.params.cat_ids.size();
  std::vector<ImageResult> per_image = analyse_images(st, opt);

  Flat f;
  std::vector<uint8_t> met(categories, 0);
  auto meet = [&](uint32_t c) {
    if (!met[c]) met[c] = 1, f.class_order.push_back(c);
  };
  for (ImageResult& r : per_image) {
    const size_t g0 = f.gts.size();
    for (const GroundTruth& g : r.gts) meet(g.category);
    for (const Detection& d : r.dets) {
      if (d.state != kCrowdIgnored) meet(d.category);
      f.target.push_back(d.target == kNone ? kNone : static_cast<uint32_t>(g0 + d.target));
      f.dets.push_back(d);
    }
    f.gts.insert(f.gts.end(), r.gts.begin(), r.gts.end());
  }

  ErrorBreakdown out;
  std::vector<uint64_t> n_gt(categories, 0), missed(categories, 0), unmatched(categories, 0);
  for (const GroundTruth& g : f.gts) {
    ++n_gt[g.category];
    if (!g.matched) {
      ++unmatched[g.category];
      if (!g.covered) ++missed[g.category], ++out.counts[kMiss];
    }
  }
  for (const Detection& d : f.dets) {
    if (d.error != kNoError) ++out.counts[static_cast<size_t>(d.error)];
  }

  const size_t n = f.dets.size();
  const auto by_score = score_order(f);
  // After a fix tidecv ranks former errors before true positives among
  // equal scores; without the flag the order stays the one of the base AP.
  const auto after_fix = opt.tidecv_ties ? errors_first(f, by_score) : by_score;
  // Every true positive ranked above every false positive (each group in
  // detection order, which is how both tie orders rank equal scores there).
  std::vector<uint32_t> tps_first, in_order(n);
  tps_first.reserve(n);
  for (uint8_t tp : {1, 0}) {
    for (size_t i = 0; i < n; ++i) {
      if ((f.dets[i].state == kTruePositive) == tp) tps_first.push_back(static_cast<uint32_t>(i));
    }
  }
  for (size_t i = 0; i < n; ++i) in_order[i] = static_cast<uint32_t>(i);
  const std::vector<Entry> base = entries(f, by_score), ranked_tps_first = entries(f, tps_first),
                           listed = entries(f, in_order);
  const std::vector<Entry> fixed = opt.tidecv_ties ? entries(f, after_fix) : std::vector<Entry>{};
  const std::span<const Entry> after = opt.tidecv_ties ? std::span(fixed) : std::span(base);

  std::vector<uint64_t> without_missed(categories), without_unmatched(categories);
  for (size_t c = 0; c < categories; ++c) {
    without_missed[c] = n_gt[c] - missed[c];
    without_unmatched[c] = n_gt[c] - unmatched[c];
  }
  constexpr int kNothing = -1;
  const auto plain_classes = fixed_class_order(f, listed, kNothing, opt.tidecv_ties, categories);
  // The base AP, the five detection fixes, Miss, FalsePos and FalseNeg: each
  // from the original run, so independent of one another.
  const auto ap = pool::parallel_map(9, [&](size_t k) -> double {
    if (k == 0) return mean_ap(base, kNothing, n_gt, f.class_order);
    if (k <= 5) {
      const int fix = static_cast<int>(k - 1);
      return mean_ap(after, fix, n_gt, fixed_class_order(f, listed, fix, opt.tidecv_ties, categories));
    }
    if (k == 6) return mean_ap(after, kNothing, without_missed, plain_classes);
    if (k == 7) return mean_ap(ranked_tps_first, kNothing, n_gt, plain_classes);
    return mean_ap(after, kNothing, without_unmatched, plain_classes);
  });
  out.ap = ap[0];
  for (size_t e = 0; e < kErrorTypes; ++e) out.main[e] = std::max(ap[e + 1] - out.ap, 0.0);
  out.false_pos = ap[7] - out.ap;
  out.false_neg = ap[8] - out.ap;
  return out;
}

}  // namespace quillscore::eval
