// The Evaluator class: construction from annotation lists (the reader and
// the mask worker side by side), then run, per_instance, configure_lvis and
// timings over the engine's state.
#include "pymodule/lib/evaluator.h"

#include <chrono>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <tuple>

#include "core/eval/confusion.h"
#include "core/eval/crowdpose.h"
#include "core/eval/error_breakdown.h"
#include "core/eval/inspect.h"
#include "core/eval/instances.h"
#include "core/eval/operating_points.h"
#include "core/eval/run.h"
#include "core/pool/pool.h"
#include "core/rle/boundary.h"
#include "pymodule/compact/compact_bbox.h"
#include "pymodule/compact/compact_keypoints.h"
#include "pymodule/compact/compact_masks.h"
#include "pymodule/lib/args.h"
#include "pymodule/lib/errors.h"
#include "pymodule/lib/export.h"
#include "pymodule/lib/interrupt.h"
#include "pymodule/lib/intake.h"
#include "pymodule/lib/mask_pipeline.h"
#include "pymodule/lib/borrow.h"
#include "pymodule/lib/match_state.h"
#include "pymodule/lib/matching_args.h"
#include "pymodule/lib/numpy.h"
#include "pymodule/lib/pending_matches.h"
#include "core/base/quote.h"
#include "pymodule/lib/methods.h"
#include "pymodule/lib/ref.h"

namespace quillscore::py {
namespace {

struct EvaluatorObject {
  PyObject_HEAD
  eval::EngineState* state;
  uint64_t gt_read, dt_read, read_blocked, rasterise;
  // Borrow flag (see borrow.h).
  Py_ssize_t borrows;
  double boundary_dilation;
};

EvaluatorObject* self_of(PyObject* o) { return reinterpret_cast<EvaluatorObject*>(o); }

bool parse_iou_type(std::string_view s, eval::IouType& type) {
  if (s == "segm") {
    type = eval::IouType::kSegm;
  } else if (s == "bbox") {
    type = eval::IouType::kBbox;
  } else if (s == "keypoints" || s == "keypoints_crowd") {
    type = eval::IouType::kKeypoints;
  } else if (s == "boundary") {
    type = eval::IouType::kBoundary;
  } else {
    const std::string msg =
        "iouType must be one of segm, bbox, keypoints, boundary; got " + debug_quote(s);
    PyErr_SetString(PyExc_ValueError, msg.c_str());
    return false;
  }
  return true;
}

// One sigma per keypoint: with fewer the similarity has no constant for some
// points, with more it would silently use the first ones, as though the data
// were another skeleton. Data without keypoint lists fix no count.
bool check_sigma_count(size_t sigmas, size_t keypoints) {
  if (keypoints == 0 || sigmas == keypoints) return true;
  PyErr_Format(PyExc_ValueError,
               "%zu keypoint sigmas for %zu keypoints per annotation: give one sigma per keypoint",
               sigmas, keypoints);
  return false;
}

// Image sizes by id: a dict of id -> (height, width).
bool to_image_sizes(PyObject* o, std::unordered_map<int64_t, std::pair<uint32_t, uint32_t>>& out) {
  if (!expect_instance(o, &PyDict_Type, "dict")) return false;
  PyObject *key, *value;
  Py_ssize_t pos = 0;
  while (PyDict_Next(o, &pos, &key, &value)) {
    int64_t id;
    PyObject *h, *w;
    uint32_t hv, wv;
    if (!to_i64(key, id) || !to_pair(value, h, w) || !to_u32(h, hv) || !to_u32(w, wv)) {
      return false;
    }
    out[id] = {hv, wv};
  }
  return true;
}

struct Arguments {
  PyObject* gt_anns;
  PyObject* dt_anns;
  intake::LookupTables tables;
  eval::EvalParams params;
  std::string_view iou_type;  // kept alive by the str argument
  double dilation = rle::kDefaultDilationRatio;
  bool crowdpose = false;  // keypoints scored as CrowdPose scores them
};

// The annotation lists are read by construct(); the parameters' own defaults
// are EvalParams's.
constexpr Signature kEvaluator{
    "Evaluator",
    {
        required<borrow, &Arguments::gt_anns>("gt_anns"),
        required<borrow, &Arguments::dt_anns>("dt_anns"),
        required<to_image_sizes, &Arguments::tables, &intake::LookupTables::sizes>("img_sizes"),
        required<to_i64_vector, &Arguments::params, &eval::EvalParams::img_ids>("img_ids"),
        required<to_i64_vector, &Arguments::params, &eval::EvalParams::cat_ids>("cat_ids"),
        required<to_f64_vector, &Arguments::params, &eval::EvalParams::iou_thrs>("iou_thrs"),
        required<to_f64_vector, &Arguments::params, &eval::EvalParams::rec_thrs>("rec_thrs"),
        required<to_u64_vector, &Arguments::params, &eval::EvalParams::max_dets>("max_dets"),
        required<to_f64_pair_vector, &Arguments::params, &eval::EvalParams::area_rng>("area_rng"),
        required<to_bool, &Arguments::params, &eval::EvalParams::use_cats>("use_cats"),
        required<to_utf8, &Arguments::iou_type>("iou_type"),
        required<to_f64_vector, &Arguments::params, &eval::EvalParams::kpt_sigmas>("kpt_sigmas"),
        optional<to_bool, &Arguments::params, &eval::EvalParams::use_area>("use_area"),
        optional<to_dilation_ratio, &Arguments::dilation>("boundary_dilation"),
    }};

// What the converted arguments imply: the IoU kind and the id lookups.
bool finish_arguments(Arguments& out) {
  eval::EvalParams& p = out.params;
  if (!parse_iou_type(out.iou_type, p.iou_type)) return false;
  out.crowdpose = out.iou_type == "keypoints_crowd";
  out.tables.images = intake::PositionTable(p.img_ids);
  out.tables.categories = intake::PositionTable(p.cat_ids);
  return true;
}

// Reads both sides while the mask worker rasterises, then builds the state.
PyObject* construct(PyTypeObject* type, Arguments& args) {
  const eval::IouType kind = args.params.iou_type;
  // A compact side holds box rows only; it is read as an empty list here and
  // receives its set once the lists are read.
  const bool gt_masks = is_compact_masks(args.gt_anns);
  const bool dt_masks = is_compact_masks(args.dt_anns);
  const bool gt_points = is_compact_keypoints(args.gt_anns);
  const bool dt_points = is_compact_keypoints(args.dt_anns);
  const bool gt_compact = gt_masks || gt_points || is_compact_bbox(args.gt_anns);
  const bool dt_compact = dt_masks || dt_points || is_compact_bbox(args.dt_anns);
  // Mask and keypoint rows serve a box evaluation too when every record
  // gave its box.
  for (auto [compact, anns] : {std::pair{gt_compact, args.gt_anns}, std::pair{dt_compact, args.dt_anns}}) {
    if (!compact) continue;
    const CompactData& d = compact_data(anns);
    const bool boxes = kind == eval::IouType::kBbox && boxes_complete(d);
    switch (d.geometry) {
      case json::Geometry::kBox:
        if (kind != eval::IouType::kBbox) {
          return fail(PyExc_ValueError, "compact storage requires bbox evaluation");
        }
        break;
      case json::Geometry::kMask:
        if (!eval::needs_masks(kind) && !boxes) {
          return fail(PyExc_ValueError,
                      "compact mask storage requires segm or boundary evaluation, or bbox "
                      "evaluation with a box in every record");
        }
        break;
      case json::Geometry::kKeypoints:
        if (kind != eval::IouType::kKeypoints && !boxes) {
          return fail(PyExc_ValueError,
                      "compact keypoint storage requires keypoint evaluation, or bbox evaluation "
                      "with a box in every record");
        }
        break;
    }
  }
  if ((!gt_compact && !expect_instance(args.gt_anns, &PyList_Type, "list")) ||
      (!dt_compact && !expect_instance(args.dt_anns, &PyList_Type, "list"))) {
    return nullptr;
  }
  Ref empty(PyList_New(0));
  if (!empty) return nullptr;
  PyObject* gt_list = gt_compact ? empty.get() : args.gt_anns;
  PyObject* dt_list = dt_compact ? empty.get() : args.dt_anns;
  const bool masks = eval::needs_masks(kind);
  ReadCounters counters;
  eval::AnnotationSet gt, dt;
  intake::RawKeypoints gt_kp, dt_kp;
  JobBatch batch;
  batch.reserve(kBatchJobs);
  size_t gt_jobs = 0;
  std::vector<MaskResult> results;
  {
    MaskWorker worker(counters, kind == eval::IouType::kBoundary, args.dilation);
    IntakeContext ctx{kind, args.tables, batch, masks ? &worker.channel() : nullptr, counters};
    bool ok = read_annotations(gt_list, true, ctx, gt, gt_kp);
    if (ok) {
      gt_jobs = masks ? gt.size() : 0;
      ok = read_annotations(dt_list, false, ctx, dt, dt_kp);
    }
    if (ok && !batch.empty()) ok = send_batch(ctx);
    if (ok) {
      worker.channel().close_sender();
      ok = wait_interruptibly([&](std::chrono::milliseconds slice) { return worker.wait_done(slice); });
    }
    if (!ok) {
      // No thread may outlive construction: stop the worker before the
      // reading error (or the signal handler's) propagates. A fault of the
      // worker itself outranks the reading error it may have caused.
      PyObject *type_, *value, *tb;
      PyErr_Fetch(&type_, &value, &tb);
      worker.cancel();
      try {
        worker.finish();
      } catch (const pool::Cancelled&) {
      } catch (...) {
        Py_XDECREF(type_);
        Py_XDECREF(value);
        Py_XDECREF(tb);
        throw;
      }
      PyErr_Restore(type_, value, tb);
      return nullptr;
    }
    results = worker.finish();
  }

  if (masks) {
    if (results.size() != gt.size() + dt.size()) throw InternalError("mask results do not match the annotations");
    for (size_t i = 0; i < results.size(); ++i) {
      eval::AnnotationSet& set = i < gt_jobs ? gt : dt;
      MaskResult& r = results[i];
      if (kind == eval::IouType::kSegm) {
        std::get<eval::Masks>(set.geometry).masks.push_back(std::move(r.mask));
      } else {
        if (!r.boundary) throw InternalError("boundary requested but not built");
        auto& g = std::get<eval::BoundaryMasks>(set.geometry);
        g.masks.push_back(std::move(r.mask));
        g.bands.push_back(std::move(*r.boundary));
      }
    }
  }
  uint64_t rasterise_ns = 0;
  // The ground truth's groups, for detections to skip the boxes no ground
  // truth can meet; the ground truth is complete by the time they are read.
  std::optional<group::GroupMarks> gt_marks;
  const auto gt_groups = [&]() -> const group::GroupMarks& {
    if (!gt_marks) {
      gt_marks.emplace(gt.image_index, gt.category_index, args.params.img_ids.size(), args.params.slots(),
                       args.params.use_cats);
    }
    return *gt_marks;
  };
  for (auto [compact, masks, points, anns, set, raw, is_gt] :
       {std::tuple{gt_compact, gt_masks, gt_points, args.gt_anns, &gt, &gt_kp, true},
        std::tuple{dt_compact, dt_masks, dt_points, args.dt_anns, &dt, &dt_kp, false}}) {
    if (!compact) continue;
    if (points && kind == eval::IouType::kKeypoints) {
      *set = compact_keypoint_set(compact_data(anns), is_gt, args.tables, *raw);
    } else if (!masks || !eval::needs_masks(kind)) {
      *set = compact_annotation_set(compact_data(anns), is_gt, args.tables);
    } else if (!compact_mask_set(compact_data(anns), is_gt, args.tables, kind, args.dilation, *set,
                                 rasterise_ns, is_gt ? nullptr : &gt_groups())) {
      return nullptr;
    }
  }
  counters.rasterise += rasterise_ns;
  if (kind == eval::IouType::kKeypoints) {
    auto& laid_out = std::get<eval::Keypoints>(gt.geometry);
    intake::lay_out_keypoints(gt_kp, dt_kp, laid_out, std::get<eval::Keypoints>(dt.geometry));
    if (!check_sigma_count(args.params.kpt_sigmas.size(), laid_out.count)) return nullptr;
  }
  if (args.crowdpose) eval::prepare_crowdpose(gt, dt, args.params.use_area);

  Ref obj(type->tp_alloc(type, 0));
  if (!obj) return nullptr;
  EvaluatorObject* e = self_of(obj.get());
  e->state = nullptr;
  e->borrows = 0;
  e->boundary_dilation = args.dilation;
  e->state = eval::make_engine_state(std::move(args.params), std::move(gt), std::move(dt)).release();
  e->gt_read = counters.gt_read;
  e->dt_read = counters.dt_read;
  e->read_blocked = counters.read_blocked;
  e->rasterise = counters.rasterise;
  return obj.release();
}

PyObject* evaluator_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    // Classic (args, kwargs) calling: flatten into the vectorcall layout.
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    std::vector<PyObject*> flat(PySequence_Fast_ITEMS(args), PySequence_Fast_ITEMS(args) + nargs);
    Ref kwnames;
    if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
      kwnames = Ref(PyTuple_New(PyDict_GET_SIZE(kwargs)));
      if (!kwnames) return nullptr;
      PyObject *key, *value;
      Py_ssize_t pos = 0, i = 0;
      while (PyDict_Next(kwargs, &pos, &key, &value)) {
        PyTuple_SET_ITEM(kwnames.get(), i++, Py_NewRef(key));
        flat.push_back(value);
      }
    }
    Arguments a{};
    if (!bind(kEvaluator, flat.data(), nargs, kwnames.get(), a) || !finish_arguments(a)) {
      return nullptr;
    }
    return construct(type, a);
  });
}

void evaluator_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete self_of(self)->state;
  type->tp_free(self);
  Py_DECREF(type);
}

// The methods' arguments and parameters.

struct RunArgs {
  bool collect_eval_imgs = false;
};

constexpr Signature kRun{"run", {optional<to_bool, &RunArgs::collect_eval_imgs>("collect_eval_imgs")}};

struct MatchesArgs {
  bool parallel = true;
};

constexpr Signature kMatches{"matches", {optional<to_bool, &MatchesArgs::parallel>("parallel")}};
constexpr Signature kStartMatches{"start_matches", {optional<to_bool, &MatchesArgs::parallel>("parallel")}};

struct PerInstanceArgs {
  uint64_t t_idx = 0;
  uint64_t a_idx = 0;
  uint64_t max_det = 100;
};

constexpr Signature kPerInstance{"per_instance",
                                 {optional<to_u64, &PerInstanceArgs::t_idx>("t_idx"),
                                  optional<to_u64, &PerInstanceArgs::a_idx>("a_idx"),
                                  optional<to_u64, &PerInstanceArgs::max_det>("max_det")}};

// (image id, category id) pairs from any iterable but a str.
bool to_id_pairs(PyObject* o, std::vector<std::pair<int64_t, int64_t>>& out) {
  if (reject_str(o)) return false;
  Ref it(PyObject_GetIter(o));
  if (!it) return false;
  while (Ref item{PyIter_Next(it.get())}) {
    PyObject *img, *cat;
    std::pair<int64_t, int64_t> p;
    if (!to_pair(item.get(), img, cat) || !to_i64(img, p.first) || !to_i64(cat, p.second)) {
      return false;
    }
    out.push_back(p);
  }
  return !PyErr_Occurred();
}

struct LvisArgs {
  std::vector<uint8_t> gt_ignore;
  std::vector<std::pair<int64_t, int64_t>> non_exhaustive;
};

constexpr Signature kConfigureLvis{
    "configure_lvis",
    {required<to_bool_vector, &LvisArgs::gt_ignore>("gt_ignore"),
     required<to_id_pairs, &LvisArgs::non_exhaustive>("non_exhaustive")}};

// Both ids or neither: None counts as left out. They are converted once the
// pairing is known to be right.
struct SimilarityArgs {
  PyObject* image_id = nullptr;
  PyObject* category_id = nullptr;
};

constexpr Signature kSimilarity{"similarity",
                                {optional<none_as_absent, &SimilarityArgs::image_id>("image_id"),
                                 optional<none_as_absent, &SimilarityArgs::category_id>("category_id")}};

struct EvaluateImageArgs {
  int64_t image_id;
  int64_t category_id;
  std::array<double, 2> area_rng;
  uint64_t max_det;
};

constexpr Signature kEvaluateImage{
    "evaluate_image",
    {required<to_i64, &EvaluateImageArgs::image_id>("image_id"),
     required<to_i64, &EvaluateImageArgs::category_id>("category_id"),
     required<to_f64_pair, &EvaluateImageArgs::area_rng>("area_rng"),
     required<to_u64, &EvaluateImageArgs::max_det>("max_det")}};

struct GroupPrecisionArgs {
  std::vector<uint32_t> image_groups;
  uint32_t groups;
};

constexpr Signature kGroupPrecision{
    "group_precision",
    {required<to_u32_vector, &GroupPrecisionArgs::image_groups>("image_groups"),
     required<to_u32, &GroupPrecisionArgs::groups>("groups")}};

struct ConfusionArgs {
  double iou_thr;
  double score_thr;
  uint64_t max_det;
};

constexpr Signature kConfusion{"confusion_matrix",
                               {required<to_f64, &ConfusionArgs::iou_thr>("iou_thr"),
                                required<to_f64, &ConfusionArgs::score_thr>("score_thr"),
                                required<to_u64, &ConfusionArgs::max_det>("max_det")}};

PyObject* evaluator_run(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    RunArgs a{};
    if (!bind(kRun, args, nargs, kwnames, a)) return nullptr;
    const bool collect = a.collect_eval_imgs;
    EvaluatorObject* e = self_of(self);
    SharedBorrow borrow(e);
    if (!borrow) return nullptr;
    eval::AccumulatedResult result;
    // An interrupted run leaves the state as it was: only the timings have
    // grown by the part that ran.
    if (!run_interruptible([&] { result = eval::run(*e->state, collect); })) return nullptr;
    return run_result(std::move(result), collect);
  });
}

// The precision array of each group of images, (G, T, R, K, A, M), from one
// matching pass.
PyObject* evaluator_group_precision(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    GroupPrecisionArgs a{};
    if (!bind(kGroupPrecision, args, nargs, kwnames, a)) return nullptr;
    EvaluatorObject* e = self_of(self);
    SharedBorrow borrow(e);
    if (!borrow) return nullptr;
    std::vector<double> out;
    if (!run_interruptible([&] { out = eval::group_precision(*e->state, a.image_groups, a.groups); })) {
      return nullptr;
    }
    const eval::EvalParams& p = e->state->params;
    npy_intp dims[6] = {static_cast<npy_intp>(a.groups), static_cast<npy_intp>(p.iou_thrs.size()),
                        static_cast<npy_intp>(p.rec_thrs.size()), static_cast<npy_intp>(e->state->slots),
                        static_cast<npy_intp>(p.area_rng.size()), static_cast<npy_intp>(p.max_dets.size())};
    return array_over(std::move(out), NPY_DOUBLE, 6, dims);
  });
}

PyObject* evaluator_per_instance(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PerInstanceArgs a{};
    if (!bind(kPerInstance, args, nargs, kwnames, a)) return nullptr;
    EvaluatorObject* e = self_of(self);
    SharedBorrow borrow(e);
    if (!borrow) return nullptr;
    eval::Verdicts v;
    if (!run_interruptible([&] {
          v = eval::per_instance(*e->state, static_cast<size_t>(a.t_idx), static_cast<size_t>(a.a_idx),
                                 a.max_det);
        })) {
      return nullptr;
    }
    return verdict_columns(std::move(v));
  });
}

// The matching of the evaluated images, without the geometry.
PyObject* evaluator_matches(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    MatchesArgs a{};
    if (!bind(kMatches, args, nargs, kwnames, a)) return nullptr;
    EvaluatorObject* e = self_of(self);
    SharedBorrow borrow(e);
    if (!borrow) return nullptr;
    eval::StreamState s;
    if (!run_interruptible([&] {
          std::optional<pool::InlineScope> alone;
          if (!a.parallel) alone.emplace();
          s = eval::stream_of(*e->state, e->boundary_dilation);
        })) {
      return nullptr;
    }
    return match_state_object(std::move(s));
  });
}

// The same, made on a runner thread while the caller goes on.
PyObject* evaluator_start_matches(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    MatchesArgs a{};
    if (!bind(kStartMatches, args, nargs, kwnames, a)) return nullptr;
    EvaluatorObject* e = self_of(self);
    return start_pending_matches(self, e->state, &e->borrows, e->boundary_dilation, a.parallel);
  });
}

// Per slot, counted ground truths at one area range and kept detections.
PyObject* evaluator_category_counts(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    CategoryCountsArgs a{};
    if (!bind(kCategoryCounts, args, nargs, kwnames, a)) return nullptr;
    EvaluatorObject* e = self_of(self);
    SharedBorrow borrow(e);
    if (!borrow) return nullptr;
    eval::SlotCounts c;
    if (!run_interruptible([&] { c = eval::slot_counts(*e->state, static_cast<size_t>(a.a_idx)); })) {
      return nullptr;
    }
    return slot_count_columns(std::move(c));
  });
}

// Counts, precision, recall and F1 by score threshold at one setting.
PyObject* evaluator_operating_points(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    EvaluatorObject* e = self_of(self);
    OperatingPointsArgs a{};
    if (!bind_operating_points(args, nargs, kwnames, e->state->params, a)) return nullptr;
    SharedBorrow borrow(e);
    if (!borrow) return nullptr;
    eval::OperatingPointsResult r;
    if (!run_interruptible([&] {
          r = eval::operating_points(*e->state, static_cast<size_t>(a.t_idx),
                                     static_cast<size_t>(a.a_idx), a.max_det,
                                     a.thresholds ? std::optional<std::span<const double>>(*a.thresholds)
                                                  : std::nullopt);
        })) {
      return nullptr;
    }
    return operating_point_columns(std::move(r));
  });
}

// Detections matched to ground truths of any class, counted by class pair.
PyObject* evaluator_confusion_matrix(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    ConfusionArgs a{};
    if (!bind(kConfusion, args, nargs, kwnames, a)) return nullptr;
    EvaluatorObject* e = self_of(self);
    SharedBorrow borrow(e);
    if (!borrow) return nullptr;
    eval::ConfusionMatrix m;
    if (!run_interruptible(
            [&] { m = eval::confusion_matrix(*e->state, a.iou_thr, a.score_thr, a.max_det); })) {
      return nullptr;
    }
    return confusion_array(std::move(m));
  });
}

PyObject* evaluator_configure_lvis(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    LvisArgs a{};
    if (!bind(kConfigureLvis, args, nargs, kwnames, a)) return nullptr;
    EvaluatorObject* e = self_of(self);
    ExclusiveBorrow borrow(e);
    if (!borrow) return nullptr;
    eval::configure_lvis(*e->state, a.gt_ignore, a.non_exhaustive);  // InputError: ValueError
    Py_RETURN_NONE;
  });
}

PyObject* evaluator_timings(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    EvaluatorObject* e = self_of(self);
    SharedBorrow borrow(e);
    if (!borrow) return nullptr;
    const eval::Timings& t = e->state->timings;
    const std::pair<const char*, uint64_t> fields[] = {
        {"gt_read", e->gt_read},
        {"dt_read", e->dt_read},
        {"read_blocked", e->read_blocked},
        {"rasterise", e->rasterise},
        {"group_index", t.group_index.load()},
        {"iou_cpu", t.iou_cpu.load()},
        {"match_cpu", t.match_cpu.load()},
        {"accumulate_cpu", t.accumulate_cpu.load()},
    };
    Ref d(PyDict_New());
    if (!d) return nullptr;
    for (const auto& [key, ns] : fields) {
      Ref v(PyFloat_FromDouble(static_cast<double>(ns) / 1e9));
      if (!v || PyDict_SetItemString(d.get(), key, v.get()) < 0) return nullptr;
    }
    return d.release();
  });
}

// The similarity matrices matching reads (IoU or OKS, exact, ranked
// detections by ground truths): every pair's, or one pair's.
PyObject* evaluator_similarity(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    SimilarityArgs a{};
    if (!bind(kSimilarity, args, nargs, kwnames, a)) return nullptr;
    if (!a.image_id != !a.category_id) {
      return fail(PyExc_TypeError, "similarity() takes both image_id and category_id, or neither");
    }
    int64_t image_id = 0, category_id = 0;
    if (a.image_id && (!convert_arg("image_id", [&] { return to_i64(a.image_id, image_id); }) ||
                       !convert_arg("category_id", [&] { return to_i64(a.category_id, category_id); }))) {
      return nullptr;
    }
    EvaluatorObject* e = self_of(self);
    SharedBorrow borrow(e);
    if (!borrow) return nullptr;
    if (!a.image_id) {
      // Every pair of a large dataset, unpruned: long enough to want Ctrl-C.
      std::vector<std::vector<eval::PairMatrix>> all;
      if (!run_interruptible([&] { all = eval::pair_matrices(*e->state); })) return nullptr;
      return similarity_dict(e->state->params, std::move(all));
    }
    std::optional<eval::PairMatrix> one;
    {
      ReleaseGil nogil;
      one = eval::pair_matrix(*e->state, image_id, category_id);
    }
    return similarity_array(std::move(one));
  });
}

// One image of one category matched within any area range and detection
// limit.
PyObject* evaluator_evaluate_image(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    EvaluateImageArgs a{};
    if (!bind(kEvaluateImage, args, nargs, kwnames, a)) return nullptr;
    EvaluatorObject* e = self_of(self);
    SharedBorrow borrow(e);
    if (!borrow) return nullptr;
    std::unique_ptr<eval::EvalImageRecord> rec;
    {
      ReleaseGil nogil;
      rec = eval::evaluate_image(*e->state, a.image_id, a.category_id, a.area_rng, a.max_det);
    }
    if (!rec) Py_RETURN_NONE;
    return record_dict(*rec, e->state->params.iou_thrs.size());
  });
}

// {"Cls": ..., ...} in the breakdown's type order, one value per type.
template <class T, class Convert>
Ref error_dict(const std::array<T, eval::kErrorTypes>& values, Convert&& convert) {
  static constexpr const char* kNames[eval::kErrorTypes] = {"Cls", "Loc", "Both", "Dupe", "Bkg", "Miss"};
  Ref d(PyDict_New());
  if (!d) return d;
  for (size_t e = 0; e < eval::kErrorTypes; ++e) {
    Ref v(convert(values[e]));
    if (!v || PyDict_SetItemString(d.get(), kNames[e], v.get()) < 0) return Ref();
  }
  return d;
}

PyObject* breakdown_dict(const eval::ErrorBreakdown& r) {
  Ref main = error_dict(r.main, PyFloat_FromDouble);
  Ref counts = error_dict(r.counts, [](uint64_t n) { return PyLong_FromUnsignedLongLong(n); });
  if (!main || !counts) return nullptr;
  return Py_BuildValue("{s:d,s:O,s:{s:d,s:d},s:O}", "ap", r.ap, "main", main.get(), "special",
                       "FalsePos", r.false_pos, "FalseNeg", r.false_neg, "counts", counts.get());
}

struct ErrorAnalysisArgs {
  std::vector<int64_t> image_order;
  bool tidecv_ties = false;
};

constexpr Signature kErrorAnalysis{
    "error_analysis",
    {required<to_i64_vector, &ErrorAnalysisArgs::image_order>("image_order"),
     optional<to_bool, &ErrorAnalysisArgs::tidecv_ties>("tidecv_ties")}};

PyObject* evaluator_error_analysis(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    ErrorAnalysisArgs a{};
    if (!bind(kErrorAnalysis, args, nargs, kwnames, a)) return nullptr;
    EvaluatorObject* e = self_of(self);
    SharedBorrow borrow(e);
    if (!borrow) return nullptr;
    eval::ErrorBreakdownOptions opt;
    opt.image_order = a.image_order;
    opt.tidecv_ties = a.tidecv_ties;
    eval::ErrorBreakdown r;
    if (!run_interruptible([&] { r = eval::error_breakdown(*e->state, opt); })) return nullptr;
    return breakdown_dict(r);
  });
}

struct InstancesArgs {
  std::vector<uint32_t> t_idx;
  uint64_t a_idx = 0;
  uint64_t max_det = 100;
  PyObject* image_order = nullptr;
};

constexpr Signature kInstances{
    "instances",
    {required<to_u32_vector, &InstancesArgs::t_idx>("t_idx"),
     optional<to_u64, &InstancesArgs::a_idx>("a_idx"),
     optional<to_u64, &InstancesArgs::max_det>("max_det"),
     optional<none_as_absent, &InstancesArgs::image_order>("image_order")}};

PyObject* evaluator_instances(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    InstancesArgs a{};
    if (!bind(kInstances, args, nargs, kwnames, a)) return nullptr;
    std::vector<int64_t> order;
    if (a.image_order != nullptr && !to_i64_vector(a.image_order, order)) return nullptr;
    EvaluatorObject* e = self_of(self);
    SharedBorrow borrow(e);
    if (!borrow) return nullptr;
    eval::InstanceTable table;
    if (!run_interruptible([&] {
          std::optional<eval::ErrorLabels> labels;
          if (a.image_order != nullptr) {
            eval::ErrorBreakdownOptions opt;
            opt.image_order = order;
            labels = eval::error_labels(*e->state, opt);
          }
          table = eval::instance_table(*e->state, a.t_idx, static_cast<size_t>(a.a_idx), a.max_det,
                                       labels ? &*labels : nullptr);
        })) {
      return nullptr;
    }
    return instance_columns(std::move(table));
  });
}

}  // namespace

PyTypeObject* evaluator_type() {
  static PyObject* type = nullptr;
  if (type) return reinterpret_cast<PyTypeObject*>(type);
  static PyMethodDef methods[] = {
      keyword_method<evaluator_configure_lvis>(
          kConfigureLvis,
          "Federated (LVIS) evaluation: per-ground-truth ignore flags and the (image id,\n"
          "category id) pairs whose labelling is not exhaustive."),
      keyword_method<evaluator_run>(
          kRun,
          "Run evaluation and accumulation, returning the COCO protocol's evaluation\n"
          "result: \"counts\" and the \"precision\", \"recall\" and \"scores\" arrays, and\n"
          "the per-image records as \"evalImgs\" when collect_eval_imgs is true."),
      {"timings", evaluator_timings, METH_NOARGS,
       "timings($self)\n--\n\n"
       "Per-phase timings, in seconds.\n\n"
       "The reading and rasterising figures are wall-clock times on two overlapping\n"
       "threads, so they do not sum; read_blocked says how much of the reading waited\n"
       "on the rasteriser, and so which side is the bottleneck. The evaluation figures\n"
       "are summed across pool workers: compare them with your own wall-clock time to\n"
       "see whether they parallelised."},
      keyword_method<evaluator_per_instance>(
          kPerInstance,
          "Per-instance verdicts at one setting, column-wise.\n\n"
          "Returns (detections, ground_truths), each a dict of NumPy arrays. The column\n"
          "form is not a stylistic choice: a COCO-scale run has hundreds of thousands of\n"
          "instances, and building a dict for each would cost more than the evaluation."),
      keyword_method<evaluator_similarity>(
          kSimilarity,
          "The similarity matrices (IoU, or OKS for keypoints) that matching reads.\n\n"
          "One float64 array per (image id, category id) pair, its rows the detections by\n"
          "descending score up to the largest detection limit, its columns the ground\n"
          "truths in dataset order; [] where either side is empty. With no ids, a dict of\n"
          "every pair, image by image (category -1 when categories are pooled)."),
      keyword_method<evaluator_evaluate_image>(
          kEvaluateImage,
          "One image of one category evaluated within an area range [low, high] with its\n"
          "first max_det detections: the per-image record, or None where the pair holds\n"
          "no annotation."),
      keyword_method<evaluator_group_precision>(
          kGroupPrecision,
          "The precision array of each group of images, shape (groups, T, R, K, A, M), from\n"
          "one matching pass: image_groups[i] (below groups) is the group of the i-th\n"
          "evaluated image. Each group's array is what run() gives for its images alone."),
      keyword_method<evaluator_matches>(
          kMatches,
          "The matching of the evaluated images as a MatchState: what accumulation needs,\n"
          "without the geometry, to merge with the matching of other images. With\n"
          "parallel false it is made on one thread (for work running beside other work)."),
      keyword_method<evaluator_start_matches>(
          kStartMatches,
          "matches() made on another thread while the caller goes on: a PendingMatches,\n"
          "whose result() waits for it. The evaluator is kept until then."),
      keyword_method<evaluator_category_counts>(kCategoryCounts, kCategoryCountsDoc),
      keyword_method<evaluator_operating_points>(kOperatingPoints, kOperatingPointsDoc),
      keyword_method<evaluator_confusion_matrix>(
          kConfusion,
          "The (K+1) x (K+1) int64 table of ground-truth class (rows) against detected\n"
          "class (columns), background last, from greedy cross-class matching per image."),
      keyword_method<evaluator_error_analysis>(
          kErrorAnalysis,
          "tidecv's error breakdown over the images of image_order (ids, in the\n"
          "dataset's order) that the evaluation lists: {\"ap\", \"main\", \"special\",\n"
          "\"counts\"}."),
      keyword_method<evaluator_instances>(
          kInstances,
          "Every kept detection (the first max_det of each image and category) and every\n"
          "ground truth, matched within area range a_idx at the IoU thresholds of index\n"
          "t_idx: (detections, ground_truths), each a dict of columns, the partner, iou\n"
          "and ignore columns with one entry per threshold. With image_order (the dataset's\n"
          "image ids in order), \"label\" holds each row's error type by the breakdown of\n"
          "error_analysis (0-5 in its order, 6 a true positive or a found ground truth,\n"
          "255 not analysed); without, 255 throughout."),
      {nullptr, nullptr, 0, nullptr},
  };
  static PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(evaluator_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(evaluator_dealloc)},
      {Py_tp_methods, methods},
      {Py_tp_doc, const_cast<char*>(docstring(
                      kEvaluator, "The evaluation engine, constructed once from prepared annotations."))},
      {0, nullptr},
  };
  static PyType_Spec type_spec = {
      "quillscore._vireo.Evaluator",
      sizeof(EvaluatorObject),
      0,
      Py_TPFLAGS_DEFAULT,
      slots,
  };
  type = PyType_FromSpec(&type_spec);
  return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace quillscore::py
