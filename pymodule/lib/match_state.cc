// MatchState: merge, bytes, and the readers of the matching (accumulation,
// category counts, operating points) that need no geometry.
#include "pymodule/lib/match_state.h"

#include <memory>
#include <optional>
#include <vector>

#include "core/eval/matched.h"
#include "core/eval/operating_points.h"
#include "core/eval/run.h"
#include "pymodule/lib/args.h"
#include "pymodule/lib/borrow.h"
#include "pymodule/lib/errors.h"
#include "pymodule/lib/export.h"
#include "pymodule/lib/interrupt.h"
#include "pymodule/lib/matching_args.h"
#include "pymodule/lib/methods.h"
#include "pymodule/lib/numpy.h"
#include "pymodule/lib/ref.h"

namespace quillscore::py {
namespace {

struct Held {
  eval::StreamState state;
  // The state in accumulation's order, made by the first reader after a
  // change.
  std::shared_ptr<const eval::MatchedState> ranked;
};

struct MatchStateObject {
  PyObject_HEAD
  Held* held;
  Py_ssize_t borrows;  // see borrow.h
};

PyTypeObject* type_object = nullptr;

MatchStateObject* self_of(PyObject* o) { return reinterpret_cast<MatchStateObject*>(o); }

void match_state_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete self_of(self)->held;
  type->tp_free(self);
  Py_DECREF(type);
}

// The ranked state, made once per change; call with a shared borrow held.
bool ranked_of(MatchStateObject* m, std::shared_ptr<const eval::MatchedState>& out) {
  if (!m->held->ranked) {
    std::shared_ptr<const eval::MatchedState> r;
    if (!run_interruptible([&] { r = std::make_shared<eval::MatchedState>(eval::ranked(m->held->state)); })) {
      return false;
    }
    m->held->ranked = std::move(r);
  }
  out = m->held->ranked;
  return true;
}

PyObject* match_state_merge(PyObject* self, PyObject* other) {
  return guarded([&]() -> PyObject* {
    if (Py_TYPE(other) != type_object) {
      PyErr_Format(PyExc_TypeError, "can only merge a MatchState, not %s", Py_TYPE(other)->tp_name);
      return nullptr;
    }
    if (other == self) return fail(PyExc_ValueError, "cannot merge a matching state into itself");
    MatchStateObject* m = self_of(self);
    ExclusiveBorrow borrow(m);
    if (!borrow) return nullptr;
    SharedBorrow theirs(self_of(other));
    if (!theirs) return nullptr;
    eval::merge_into(m->held->state, self_of(other)->held->state);
    m->held->ranked.reset();
    Py_RETURN_NONE;
  });
}

PyObject* match_state_to_bytes(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    MatchStateObject* m = self_of(self);
    SharedBorrow borrow(m);
    if (!borrow) return nullptr;
    std::vector<uint8_t> bytes;
    if (!run_interruptible([&] { bytes = eval::to_bytes(m->held->state); })) return nullptr;
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                     static_cast<Py_ssize_t>(bytes.size()));
  });
}

PyObject* match_state_from_bytes(PyObject*, PyObject* data) {
  return guarded([&]() -> PyObject* {
    Py_buffer view;
    if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) < 0) return nullptr;
    struct Release {
      Py_buffer* v;
      ~Release() { PyBuffer_Release(v); }
    } release{&view};
    eval::StreamState s;
    const std::span<const uint8_t> bytes(static_cast<const uint8_t*>(view.buf),
                                         static_cast<size_t>(view.len));
    if (!run_interruptible([&] { s = eval::from_bytes(bytes); })) return nullptr;
    return match_state_object(std::move(s));
  });
}

PyObject* match_state_reduce(PyObject* self, PyObject*) {
  Ref bytes(match_state_to_bytes(self, nullptr));
  if (!bytes) return nullptr;
  Ref from(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type_object), "from_bytes"));
  if (!from) return nullptr;
  return Py_BuildValue("(O(O))", from.get(), bytes.get());
}

PyObject* match_state_detections(PyObject* self, PyObject*) {
  return PyLong_FromSize_t(self_of(self)->held->state.detections());
}

// Bytes the columns hold, for memory accounting.
PyObject* match_state_nbytes(PyObject* self, PyObject*) {
  const eval::StreamState& s = self_of(self)->held->state;
  size_t n = s.image_ids.size() * sizeof(int64_t);
  for (const eval::StreamSlot& k : s.slots) {
    n += (k.counted_images.size() + k.counted.size() + k.image.size() + k.rank.size()) * sizeof(uint32_t) +
         k.scores.size() * sizeof(double) + k.outcomes.size();
  }
  return PyLong_FromSize_t(n);
}

PyObject* match_state_image_ids(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    std::vector<int64_t> ids = self_of(self)->held->state.image_ids;
    npy_intp n = static_cast<npy_intp>(ids.size());
    return array_over(std::move(ids), NPY_INT64, 1, &n);
  });
}

// The first of `ids` (a sequence of integers) the state holds, or None.
PyObject* match_state_first_held(PyObject* self, PyObject* ids) {
  return guarded([&]() -> PyObject* {
    Ref seq(PySequence_Fast(ids, "image ids must be a sequence of integers"));
    if (!seq) return nullptr;
    const auto& held = self_of(self)->held->state.held;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
      PyObject* id = PySequence_Fast_GET_ITEM(seq.get(), i);
      const long long v = PyLong_AsLongLong(id);
      if (v == -1 && PyErr_Occurred()) return nullptr;
      if (held.count(v)) return Py_NewRef(id);
    }
    Py_RETURN_NONE;
  });
}

Py_ssize_t match_state_length(PyObject* self) {
  return static_cast<Py_ssize_t>(self_of(self)->held->state.image_ids.size());
}

PyObject* match_state_run(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    MatchStateObject* m = self_of(self);
    SharedBorrow borrow(m);
    if (!borrow) return nullptr;
    std::shared_ptr<const eval::MatchedState> r;
    if (!ranked_of(m, r)) return nullptr;
    eval::AccumulatedResult result;
    if (!run_interruptible([&] { result = eval::accumulate(m->held->state.params, *r); })) return nullptr;
    return run_result(std::move(result), false);
  });
}

PyObject* match_state_category_counts(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    CategoryCountsArgs a{};
    if (!bind(kCategoryCounts, args, nargs, kwnames, a)) return nullptr;
    MatchStateObject* m = self_of(self);
    SharedBorrow borrow(m);
    if (!borrow) return nullptr;
    std::shared_ptr<const eval::MatchedState> r;
    if (!ranked_of(m, r)) return nullptr;
    return slot_count_columns(eval::slot_counts(*r, static_cast<size_t>(a.a_idx)));
  });
}

PyObject* match_state_operating_points(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    MatchStateObject* m = self_of(self);
    const eval::EvalParams& p = m->held->state.params;
    OperatingPointsArgs a{};
    if (!bind_operating_points(args, nargs, kwnames, p, a)) return nullptr;
    SharedBorrow borrow(m);
    if (!borrow) return nullptr;
    std::shared_ptr<const eval::MatchedState> r;
    if (!ranked_of(m, r)) return nullptr;
    eval::OperatingPointsResult res;
    if (!run_interruptible([&] {
          res = eval::operating_points(p, *r, static_cast<size_t>(a.t_idx), static_cast<size_t>(a.a_idx),
                                       a.max_det,
                                       a.thresholds ? std::optional<std::span<const double>>(*a.thresholds)
                                                    : std::nullopt);
        })) {
      return nullptr;
    }
    return operating_point_columns(std::move(res));
  });
}

}  // namespace

PyObject* match_state_object(eval::StreamState&& state) {
  if (!type_object) return fail(PyExc_SystemError, "MatchState type not ready");
  auto held = std::make_unique<Held>();
  held->state = std::move(state);
  Ref obj(type_object->tp_alloc(type_object, 0));
  if (!obj) return nullptr;
  MatchStateObject* m = self_of(obj.get());
  m->held = held.release();
  m->borrows = 0;
  return obj.release();
}

PyTypeObject* match_state_type() {
  if (type_object) return type_object;
  static PyMethodDef methods[] = {
      {"merge", match_state_merge, METH_O,
       "merge($self, other, /)\n--\n\n"
       "Add the images and matching of `other`, a state of the same settings over other\n"
       "images; ValueError, changing neither, where they differ or share an image."},
      {"to_bytes", match_state_to_bytes, METH_NOARGS,
       "to_bytes($self, /)\n--\n\nThe state as versioned, checksummed bytes."},
      {"from_bytes", match_state_from_bytes, METH_O | METH_CLASS,
       "from_bytes($type, data, /)\n--\n\n"
       "The state of to_bytes(); ValueError for bytes that are not one."},
      {"__reduce__", match_state_reduce, METH_NOARGS, "Pickled through to_bytes()."},
      {"detections", match_state_detections, METH_NOARGS,
       "detections($self, /)\n--\n\nThe number of kept detections held."},
      {"image_ids", match_state_image_ids, METH_NOARGS,
       "image_ids($self, /)\n--\n\nThe ids of the images held, in the order they came."},
      {"first_held", match_state_first_held, METH_O,
       "first_held($self, ids, /)\n--\n\nThe first of the image ids `ids` the state holds, or None."},
      {"nbytes", match_state_nbytes, METH_NOARGS,
       "nbytes($self, /)\n--\n\nThe bytes its columns hold."},
      {"run", match_state_run, METH_NOARGS,
       "run($self, /)\n--\n\n"
       "Accumulate: \"counts\", \"precision\", \"recall\" and \"scores\", as an Evaluator's run()\n"
       "over the same images gives them."},
      keyword_method<match_state_category_counts>(kCategoryCounts, kCategoryCountsDoc),
      keyword_method<match_state_operating_points>(kOperatingPoints, kOperatingPointsDoc),
      {nullptr, nullptr, 0, nullptr},
  };
  static PyType_Slot slots[] = {
      {Py_tp_dealloc, reinterpret_cast<void*>(match_state_dealloc)},
      {Py_tp_methods, methods},
      {Py_sq_length, reinterpret_cast<void*>(match_state_length)},
      {Py_tp_doc, const_cast<char*>(
                      "An evaluation's matching over a set of images, without the geometry: made by\n"
                      "Evaluator.matches(), merged with others over other images, stored as bytes.\n"
                      "len() is the number of images it holds.")},
      {0, nullptr},
  };
  static PyType_Spec type_spec = {"quillscore._vireo.MatchState", sizeof(MatchStateObject), 0,
                                  Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
  type_object = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
  return type_object;
}

}  // namespace quillscore::py
