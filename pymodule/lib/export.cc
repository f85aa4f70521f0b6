#include "pymodule/lib/export.h"

#include <vector>

#include "core/base/error.h"
#include "core/eval/matched.h"
#include "pymodule/lib/gc_pause.h"
#include "pymodule/lib/numpy.h"
#include "pymodule/lib/ref.h"

namespace quillscore::py {
namespace {

bool set_item(PyObject* dict, const char* key, PyObject* owned_value) {
  Ref v(owned_value);
  return v && PyDict_SetItemString(dict, key, v.get()) == 0;
}

template <class T>
PyObject* column(std::vector<T>&& v, int typenum) {
  npy_intp dims[1] = {static_cast<npy_intp>(v.size())};
  return array_over(std::move(v), typenum, 1, dims);
}

template <class T>
PyObject* matrix_f64(const std::vector<T>& v, size_t rows) {
  std::vector<double> d(v.begin(), v.end());
  npy_intp dims[2] = {static_cast<npy_intp>(rows),
                      static_cast<npy_intp>(rows ? v.size() / rows : 0)};
  return array_over(std::move(d), NPY_DOUBLE, 2, dims);
}

template <class T, class Make>
PyObject* py_list(const std::vector<T>& v, Make make) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(v.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < v.size(); ++i) {
    PyObject* item = make(v[i]);
    if (!item) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

// gtIgnore and dtIgnore have the COCO API's types: an int array (float64
// when empty, NumPy's type for an empty list) and a bool array.
PyObject* gt_ignore_column(const std::vector<uint8_t>& flags) {
  if (flags.empty()) return column(std::vector<double>(), NPY_DOUBLE);
  return column(std::vector<int64_t>(flags.begin(), flags.end()), NPY_INT64);
}

PyObject* bool_matrix(std::vector<uint8_t> v, size_t rows) {
  npy_intp dims[2] = {static_cast<npy_intp>(rows),
                      static_cast<npy_intp>(rows ? v.size() / rows : 0)};
  return array_over(std::move(v), NPY_BOOL, 2, dims);
}

}  // namespace

PyObject* record_dict(const eval::EvalImageRecord& r, size_t t) {
  Ref d(PyDict_New());
  if (!d) return nullptr;
  auto i64 = [](int64_t x) { return PyLong_FromLongLong(x); };
  const bool ok =
      set_item(d.get(), "image_id", PyLong_FromLongLong(r.image_id)) &&
      set_item(d.get(), "category_id", PyLong_FromLongLong(r.category_id)) &&
      set_item(d.get(), "aRng", PyLong_FromUnsignedLongLong(r.area_index)) &&
      set_item(d.get(), "maxDet", PyLong_FromUnsignedLongLong(r.max_det)) &&
      set_item(d.get(), "dtIds", py_list(r.dt_ids, i64)) &&
      set_item(d.get(), "gtIds", py_list(r.gt_ids, i64)) &&
      set_item(d.get(), "dtMatches", matrix_f64(r.dt_matches, t)) &&
      set_item(d.get(), "gtMatches", matrix_f64(r.gt_matches, t)) &&
      set_item(d.get(), "dtScores", py_list(r.dt_scores, [](double x) { return PyFloat_FromDouble(x); })) &&
      set_item(d.get(), "gtIgnore", gt_ignore_column(r.gt_ignore)) &&
      set_item(d.get(), "dtIgnore", bool_matrix(r.dt_ignore, t));
  return ok ? d.release() : nullptr;
}

PyObject* similarity_array(std::optional<eval::PairMatrix>&& m) {
  if (!m) return PyList_New(0);
  if (!numpy_ready()) return nullptr;
  npy_intp dims[2] = {static_cast<npy_intp>(m->rows), static_cast<npy_intp>(m->cols)};
  return array_over(std::move(m->values), NPY_DOUBLE, 2, dims);
}

PyObject* similarity_dict(const eval::EvalParams& p,
                          std::vector<std::vector<eval::PairMatrix>>&& per_slot) {
  const size_t slots = per_slot.size();
  if (p.use_cats ? slots != p.cat_ids.size() : slots != 1) {
    throw InternalError("similarity matrices do not match the category slots");
  }
  GcPause pause;  // hundreds of thousands of keys and lists, none of them garbage
  Ref d(PyDict_New());
  if (!d) return nullptr;
  std::vector<Ref> cat_keys;
  for (size_t k = 0; k < slots; ++k) {
    cat_keys.emplace_back(PyLong_FromLongLong(p.use_cats ? p.cat_ids[k] : -1));
    if (!cat_keys.back()) return nullptr;
  }
  std::vector<size_t> next(slots, 0);  // each slot's matrices ascend by image
  for (size_t i = 0; i < p.img_ids.size(); ++i) {
    Ref image(PyLong_FromLongLong(p.img_ids[i]));
    if (!image) return nullptr;
    for (size_t k = 0; k < slots; ++k) {
      std::vector<eval::PairMatrix>& mats = per_slot[k];
      std::optional<eval::PairMatrix> m;
      if (next[k] < mats.size() && mats[next[k]].image == i) m = std::move(mats[next[k]++]);
      Ref value(similarity_array(std::move(m)));
      Ref key(value ? PyTuple_Pack(2, image.get(), cat_keys[k].get()) : nullptr);
      if (!key || PyDict_SetItem(d.get(), key.get(), value.get()) < 0) return nullptr;
    }
  }
  for (size_t k = 0; k < slots; ++k) {
    if (next[k] != per_slot[k].size()) throw InternalError("similarity matrix of an unlisted image");
  }
  return d.release();
}

PyObject* run_result(eval::AccumulatedResult&& res, bool with_records) {
  if (!numpy_ready()) return nullptr;
  const auto [T, R, K, A, M] = res.dims;
  Ref d(PyDict_New());
  if (!d) return nullptr;
  Ref counts(PyList_New(5));
  if (!counts) return nullptr;
  for (Py_ssize_t i = 0; i < 5; ++i) {
    PyObject* v = PyLong_FromSize_t(res.dims[static_cast<size_t>(i)]);
    if (!v) return nullptr;
    PyList_SET_ITEM(counts.get(), i, v);
  }
  if (PyDict_SetItemString(d.get(), "counts", counts.get()) < 0) return nullptr;
  npy_intp full[5] = {static_cast<npy_intp>(T), static_cast<npy_intp>(R), static_cast<npy_intp>(K),
                      static_cast<npy_intp>(A), static_cast<npy_intp>(M)};
  npy_intp rec[4] = {full[0], full[2], full[3], full[4]};
  if (!set_item(d.get(), "precision", array_over(std::move(res.precision), NPY_DOUBLE, 5, full)) ||
      !set_item(d.get(), "recall", array_over(std::move(res.recall), NPY_DOUBLE, 4, rec)) ||
      !set_item(d.get(), "scores", array_over(std::move(res.scores), NPY_DOUBLE, 5, full))) {
    return nullptr;
  }
  if (with_records) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(res.records.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < res.records.size(); ++i) {
      PyObject* item;
      if (res.records[i]) {
        item = record_dict(*res.records[i], T);
        if (!item) return nullptr;
        res.records[i].reset();
      } else {
        item = Py_NewRef(Py_None);
      }
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    if (PyDict_SetItemString(d.get(), "evalImgs", list.get()) < 0) return nullptr;
  }
  return d.release();
}

PyObject* verdict_columns(eval::Verdicts&& v) {
  if (!numpy_ready()) return nullptr;
  const auto& dts = v.detections;
  std::vector<int64_t> image(dts.size()), cat(dts.size()), dt_id(dts.size()), gt_id(dts.size());
  std::vector<double> score(dts.size()), iou(dts.size());
  std::vector<uint8_t> ignore(dts.size());
  for (size_t i = 0; i < dts.size(); ++i) {
    image[i] = dts[i].image_id;
    cat[i] = dts[i].category_id;
    dt_id[i] = dts[i].dt_id;
    gt_id[i] = dts[i].gt_id;
    score[i] = dts[i].score;
    iou[i] = dts[i].iou;
    ignore[i] = dts[i].ignore;
  }
  v.detections = {};
  Ref det(PyDict_New());
  if (!det || !set_item(det.get(), "image_id", column(std::move(image), NPY_INT64)) ||
      !set_item(det.get(), "category_id", column(std::move(cat), NPY_INT64)) ||
      !set_item(det.get(), "dt_id", column(std::move(dt_id), NPY_INT64)) ||
      !set_item(det.get(), "gt_id", column(std::move(gt_id), NPY_INT64)) ||
      !set_item(det.get(), "score", column(std::move(score), NPY_DOUBLE)) ||
      !set_item(det.get(), "iou", column(std::move(iou), NPY_DOUBLE)) ||
      !set_item(det.get(), "ignore", column(std::move(ignore), NPY_BOOL))) {
    return nullptr;
  }
  const auto& gts = v.ground_truths;
  std::vector<int64_t> g_image(gts.size()), g_cat(gts.size()), g_id(gts.size());
  std::vector<uint8_t> g_ignore(gts.size()), g_matched(gts.size());
  for (size_t i = 0; i < gts.size(); ++i) {
    g_image[i] = gts[i].image_id;
    g_cat[i] = gts[i].category_id;
    g_id[i] = gts[i].gt_id;
    g_ignore[i] = gts[i].ignore;
    g_matched[i] = gts[i].matched;
  }
  Ref gt(PyDict_New());
  if (!gt || !set_item(gt.get(), "image_id", column(std::move(g_image), NPY_INT64)) ||
      !set_item(gt.get(), "category_id", column(std::move(g_cat), NPY_INT64)) ||
      !set_item(gt.get(), "gt_id", column(std::move(g_id), NPY_INT64)) ||
      !set_item(gt.get(), "ignore", column(std::move(g_ignore), NPY_BOOL)) ||
      !set_item(gt.get(), "matched", column(std::move(g_matched), NPY_BOOL))) {
    return nullptr;
  }
  return PyTuple_Pack(2, det.get(), gt.get());
}

namespace {

PyObject* instance_side(eval::InstanceSide&& side, size_t thresholds) {
  npy_intp dims[2] = {static_cast<npy_intp>(side.size()), static_cast<npy_intp>(thresholds)};
  Ref d(PyDict_New());
  if (!d || !set_item(d.get(), "image_id", column(std::move(side.image_id), NPY_INT64)) ||
      !set_item(d.get(), "category_id", column(std::move(side.category_id), NPY_INT64)) ||
      !set_item(d.get(), "id", column(std::move(side.id), NPY_INT64)) ||
      !set_item(d.get(), "score", column(std::move(side.score), NPY_DOUBLE)) ||
      !set_item(d.get(), "area", column(std::move(side.area), NPY_DOUBLE)) ||
      !set_item(d.get(), "iscrowd", column(std::move(side.iscrowd), NPY_BOOL)) ||
      !set_item(d.get(), "label", column(std::move(side.label), NPY_UINT8)) ||
      !set_item(d.get(), "partner", array_over(std::move(side.partner), NPY_INT64, 2, dims)) ||
      !set_item(d.get(), "iou", array_over(std::move(side.iou), NPY_DOUBLE, 2, dims)) ||
      !set_item(d.get(), "ignore", array_over(std::move(side.ignore), NPY_BOOL, 2, dims))) {
    return nullptr;
  }
  return d.release();
}

}  // namespace

PyObject* instance_columns(eval::InstanceTable&& table) {
  if (!numpy_ready()) return nullptr;
  Ref det(instance_side(std::move(table.detections), table.thresholds));
  if (!det) return nullptr;
  Ref gt(instance_side(std::move(table.ground_truths), table.thresholds));
  if (!gt) return nullptr;
  return PyTuple_Pack(2, det.get(), gt.get());
}

PyObject* operating_point_columns(eval::OperatingPointsResult&& r) {
  if (!numpy_ready()) return nullptr;
  eval::OperatingPoints& rows = r.rows;
  Ref cols(PyDict_New());
  if (!cols || !set_item(cols.get(), "category_id", column(std::move(rows.category_id), NPY_INT64)) ||
      !set_item(cols.get(), "score", column(std::move(rows.score), NPY_DOUBLE)) ||
      !set_item(cols.get(), "tp", column(std::move(rows.tp), NPY_INT64)) ||
      !set_item(cols.get(), "fp", column(std::move(rows.fp), NPY_INT64)) ||
      !set_item(cols.get(), "fn", column(std::move(rows.fn), NPY_INT64)) ||
      !set_item(cols.get(), "precision", column(std::move(rows.precision), NPY_DOUBLE)) ||
      !set_item(cols.get(), "recall", column(std::move(rows.recall), NPY_DOUBLE)) ||
      !set_item(cols.get(), "f1", column(std::move(rows.f1), NPY_DOUBLE))) {
    return nullptr;
  }
  const size_t n = r.best.size();
  std::vector<int64_t> cat(n);
  std::vector<double> score(n), precision(n), recall(n), f1(n);
  for (size_t i = 0; i < n; ++i) {
    const eval::BestF1& b = r.best[i];
    cat[i] = b.category_id;
    score[i] = b.score;
    precision[i] = b.precision;
    recall[i] = b.recall;
    f1[i] = b.f1;
  }
  Ref best(PyDict_New());
  if (!best || !set_item(best.get(), "category_id", column(std::move(cat), NPY_INT64)) ||
      !set_item(best.get(), "score", column(std::move(score), NPY_DOUBLE)) ||
      !set_item(best.get(), "precision", column(std::move(precision), NPY_DOUBLE)) ||
      !set_item(best.get(), "recall", column(std::move(recall), NPY_DOUBLE)) ||
      !set_item(best.get(), "f1", column(std::move(f1), NPY_DOUBLE))) {
    return nullptr;
  }
  return PyTuple_Pack(2, cols.get(), best.get());
}

PyObject* confusion_array(eval::ConfusionMatrix&& m) {
  if (!numpy_ready()) return nullptr;
  npy_intp dims[2] = {static_cast<npy_intp>(m.size), static_cast<npy_intp>(m.size)};
  return array_over(std::move(m.counts), NPY_INT64, 2, dims);
}

PyObject* slot_count_columns(eval::SlotCounts&& c) {
  npy_intp n = static_cast<npy_intp>(c.detections.size());
  Ref gts(array_over(std::move(c.ground_truths), NPY_INT64, 1, &n));
  if (!gts) return nullptr;
  Ref dts(array_over(std::move(c.detections), NPY_INT64, 1, &n));
  if (!dts) return nullptr;
  return PyTuple_Pack(2, gts.get(), dts.get());
}

}  // namespace quillscore::py
