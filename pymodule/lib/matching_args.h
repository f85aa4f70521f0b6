// The arguments of the readers of a matching that both the Evaluator and a
// MatchState offer: category counts and operating points.
#pragma once

#include "pymodule/platform.h"

#include <cstdint>
#include <optional>
#include <vector>

#include "core/eval/matched.h"
#include "core/eval/model.h"
#include "pymodule/lib/args.h"
#include "pymodule/lib/errors.h"

namespace quillscore::py {

struct CategoryCountsArgs {
  uint64_t a_idx = 0;
};

inline constexpr Signature kCategoryCounts{"category_counts",
                                           {optional<to_u64, &CategoryCountsArgs::a_idx>("a_idx")}};

inline constexpr const char* kCategoryCountsDoc =
    "Per category slot, the ground truths that count at area range index a_idx and\n"
    "the detections evaluation keeps (ignored ones included): (num_gt, num_dt),\n"
    "two int64 arrays.";

struct OperatingPointsArgs {
  uint64_t t_idx;
  uint64_t a_idx;
  uint64_t max_det;
  PyObject* score_thrs = nullptr;  // converted once bound: None means every distinct score
  std::optional<std::vector<double>> thresholds;
};

inline constexpr Signature kOperatingPoints{
    "operating_points",
    {required<to_u64, &OperatingPointsArgs::t_idx>("t_idx"),
     required<to_u64, &OperatingPointsArgs::a_idx>("a_idx"),
     required<to_u64, &OperatingPointsArgs::max_det>("max_det"),
     optional<none_as_absent, &OperatingPointsArgs::score_thrs>("score_thrs")}};

inline constexpr const char* kOperatingPointsDoc =
    "TP, FP, FN, precision, recall and F1 per category and pooled (category -1) at\n"
    "each distinct score, or at the given thresholds (score >= threshold), from the\n"
    "matching at one IoU threshold index, area range index and detection limit.\n"
    "Returns (rows, best_f1), each a dict of NumPy columns.";

// Binds the operating points' arguments and checks them against `p`; false
// with an exception set when they do not fit.
inline bool bind_operating_points(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                                  const eval::EvalParams& p, OperatingPointsArgs& a) {
  if (!bind(kOperatingPoints, args, nargs, kwnames, a)) return false;
  if (a.score_thrs &&
      !convert_arg("score_thrs", [&] { return to_f64_vector(a.score_thrs, a.thresholds.emplace()); })) {
    return false;
  }
  if (a.t_idx >= p.iou_thrs.size()) return fail(PyExc_IndexError, "t_idx is out of range"), false;
  if (a.a_idx >= p.area_rng.size()) return fail(PyExc_IndexError, "a_idx is out of range"), false;
  return true;
}

}  // namespace quillscore::py
